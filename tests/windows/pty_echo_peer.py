#!/usr/bin/env python3
"""Runs a Windows test program under Wine with a serial port that echoes what it is sent.

pty_echo_peer.py WINE_RUN PREFIX PROGRAM [ARGS...]

Makes a pty, maps COMn of the Wine prefix to it (dosdevices/comN), echoes every byte written
to it back (what starts with SLOW after a pause, as a handset busy with a command), and runs WINE_RUN PREFIX PROGRAM ARGS with VARNEL_TEST_COM=COMn.

A write that starts with SINK and its length (4 bytes, little-endian) is not echoed: after a
pause, so that a write longer than the pty holds has to wait, it is taken in whole, or until
nothing more has come for a while, and answered TOOK.
"""
import os
import select
import subprocess
import sys
import threading
import time
import tty

COM_NUMBER = 42
SLOW_REPLY_SECONDS = 0.3
SINK_QUIET_SECONDS = 0.2


def sink(master: int, length: int) -> None:
    time.sleep(SLOW_REPLY_SECONDS)
    while length > 0 and select.select([master], [], [], SINK_QUIET_SECONDS)[0]:
        length -= len(os.read(master, 65536))
    os.write(master, b"TOOK")


def echo(master: int) -> None:
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:
            return
        if not data:
            return
        if data.startswith(b"SINK"):
            sink(master, int.from_bytes(data[4:8], "little") - len(data))
            continue
        if data.startswith(b"SLOW"):
            time.sleep(SLOW_REPLY_SECONDS)
        os.write(master, data)


def main() -> int:
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    wine_run, prefix, program = sys.argv[1:4]
    # The prefix exists once Wine has booted it; the link goes into its device folder.
    if not os.path.isdir(os.path.join(prefix, "dosdevices")):
        subprocess.run([wine_run, prefix, "wineboot"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    master, slave = os.openpty()
    tty.setraw(slave)
    link = os.path.join(prefix, "dosdevices", f"com{COM_NUMBER}")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    threading.Thread(target=echo, args=(master,), daemon=True).start()
    env = dict(os.environ, VARNEL_TEST_COM=f"COM{COM_NUMBER}")
    try:
        return subprocess.run([wine_run, prefix, program, *sys.argv[4:]], env=env,
                              stdin=subprocess.DEVNULL, check=False).returncode
    finally:
        os.unlink(link)


if __name__ == "__main__":
    sys.exit(main())
