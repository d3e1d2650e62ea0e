#!/usr/bin/env python3
"""An eight-port simulated job's wall time without and with publishing to the line's broker,
and their ratio; with the job history too where varnel-cli has it (--history, --no-history).

bench/line_overhead.py [--build build] [--runs 7]

The job is the main bench job of scripts/run-bench-job.sh (EBoot, multi-CSC, PDA with LANGPACK,
Phone, Telvik) on eight simulated handsets. The broker is a mosquitto on a free loopback port. The
variants run in turns, so that the machine's other load falls on each alike; the figure of a
variant is its median. The wall time counts from the start of varnel-cli to its exit, which
includes its wait for the broker to take what is queued.
"""
import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_broker(work):
    program = shutil.which("mosquitto") or shutil.which("mosquitto", path="/usr/sbin")
    if not program:
        sys.exit("line_overhead.py: mosquitto is not installed (scripts/install-deps.sh test)")
    port = free_port()
    config = os.path.join(work, "mosquitto.conf")
    with open(config, "w") as out:
        out.write("listener %d 127.0.0.1\nallow_anonymous true\n" % port)
    broker = subprocess.Popen([program, "-c", config], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return broker, port
        except OSError:
            time.sleep(0.05)
    broker.kill()
    sys.exit("line_overhead.py: the broker did not listen")


def make_images(mkimage, folder):
    images = {
        "eboot": (["--size", "256K"], "eboot.eb0"),
        "csc": (["--multi", "--csc-file", "EUR:64K", "--csc-file", "NEE:64K", "--languages",
                 "5,7,8"], "multi.csc"),
        "pda": (["--size", "8M", "--langpack", "1M"], "pda.nb0"),
        "phone": (["--size", "2M"], "modem.bin"),
        "telvik": (["--first", "1M", "--second", "512K"], "telvik.mst"),
    }
    args = []
    for option, (build, name) in images.items():
        path = os.path.join(folder, name)
        subprocess.run([mkimage, *build, path], check=True, stdout=subprocess.DEVNULL)
        args += ["--" + option, path]
    return args + ["--language", "1"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    programs = os.path.join(args.build, "src", "app", "programs")
    cli = os.path.join(programs, "varnel-cli")
    help_text = subprocess.run([cli, "--help"], capture_output=True, text=True).stdout
    has_history = "--no-history" in help_text
    with tempfile.TemporaryDirectory() as work:
        job = make_images(os.path.join(programs, "varnel-mkimage"), work) + [
            "--skip-boot-wait", "--simulate", "8", "--ports", "8"]
        broker, port = start_broker(work)
        mqtt = ["--mqtt", "mqtt://127.0.0.1:%d" % port, "--bench", "overhead"]
        history = ["--history", os.path.join(work, "history.db")]
        no_history = ["--no-history"] if has_history else []
        variants = {"plain": no_history, "mqtt": mqtt + no_history}
        if has_history:
            variants.update({"history": history, "history+mqtt": history + mqtt})
        times = {name: [] for name in variants}
        try:
            for _ in range(args.runs):
                for name, extra in variants.items():
                    start = time.monotonic()
                    result = subprocess.run([cli, *job, *extra], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                            text=True)
                    times[name].append(time.monotonic() - start)
                    if result.returncode != 0 or "queued" in result.stderr:
                        sys.exit("line_overhead.py: %s: exit %d: %s"
                                 % (name, result.returncode, result.stderr))
        finally:
            broker.send_signal(signal.SIGTERM)
            broker.wait(timeout=10)
    base = statistics.median(times["plain"])
    print("eight-port simulated job, %d runs each, median wall time:" % args.runs)
    for name, runs in times.items():
        median = statistics.median(runs)
        print("  %-13s %7.3f s  (min %.3f, max %.3f)  ratio %.4f  added %+.2f%%"
              % (name, median, min(runs), max(runs), median / base, 100 * (median / base - 1)))
    if not has_history:
        print("  (this varnel-cli has no --history: the history variants are left out)")


if __name__ == "__main__":
    main()
