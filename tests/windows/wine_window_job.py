#!/usr/bin/env python3
"""A whole job of the Windows window under Wine against varnel-sim handsets on ptys mapped to COM ports.

wine_window_job.py WINE_RUN PREFIX DOWNLOADER_EXE MKIMAGE_EXE VARNEL_SIM
WINE_RUN runs a windowed program without a display (tests/win32/run-headless.sh). The window
takes its PDA image and a ticked box from the choices it remembers in the registry, presses
Detect, then Start once the two COM ports have attached (--auto-start), and closes when the job
has ended; what each handset flashed (varnel-sim --dump) is compared with the image builder's
manifest.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

wine_run, prefix, downloader, mkimage, sim = sys.argv[1:6]
CHOICES_KEY = r"HKCU\Software\Varnel\Downloader"


def wine(*arguments, timeout=120):
    return subprocess.run([wine_run, prefix, *arguments], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=timeout)


def remember(subkey, name, value):
    wine("reg", "add", CHOICES_KEY + "\\" + subkey, "/v", name, "/d", value, "/f").check_returncode()


def main():
    failures = []
    with tempfile.TemporaryDirectory() as work:
        pda = os.path.join(work, "pda.nb0")
        out = wine(mkimage, "--size", "256K", "--langpack", "8K", "--manifest", "Z:" + pda)
        out.check_returncode()
        regions = {}
        for line in out.stdout.splitlines():
            name, _offset, length, byte_sum = line.split()
            regions[name] = (int(length), int(byte_sum, 16))
        wanted = sorted([regions["pda.data"], regions["langpack.data"]])

        sim_dir = os.path.join(work, "sim")
        dump = os.path.join(work, "dump")
        server = subprocess.Popen([sim, "--dir", sim_dir, "--handsets", "2", "--record", "digest",
                                   "--dump", dump], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL)
        try:
            for _ in range(100):
                if all(os.path.exists(os.path.join(sim_dir, "SIM%d" % i)) for i in range(2)):
                    break
                time.sleep(0.05)
            for i in range(2):
                link = os.path.join(prefix, "dosdevices", "com%d" % (5 + i))
                if os.path.lexists(link):
                    os.remove(link)
                os.symlink(os.path.join(sim_dir, "SIM%d" % i), link)
            wine("reg", "delete", CHOICES_KEY, "/f")
            remember("images", "pda", "Z:" + pda)
            remember("options", "skip-boot-wait", "true")
            job = wine(downloader, "--transport", "file", "--com", "COM5", "--com", "COM6",
                       "--attach-present", "--auto-start", timeout=300)
        finally:
            server.terminate()
            server.wait(timeout=30)
            wine("reg", "delete", CHOICES_KEY, "/f")
        if job.returncode != 0:
            failures.append("exit %d, expected 0:\n%s" % (job.returncode, job.stderr[-2000:]))
        with open(os.path.join(dump, "manifest.json")) as file:
            handsets = json.load(file)
        for index, handset in enumerate(handsets):
            flashed = sorted((region["length"], region["byteSum"]) for region in handset["flashed"])
            if flashed != wanted:
                failures.append("handset %d flashed %s, expected %s" % (index, flashed, wanted))

    for failure in failures:
        print("FAILED: " + failure)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
