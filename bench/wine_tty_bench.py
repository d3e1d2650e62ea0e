#!/usr/bin/env python3
"""The same tty job natively and through Wine: varnel-cli --transport tty against
varnel-cli.exe --transport file --com COMn, on varnel-sim handsets on ptys, and their ratio.

bench/wine_tty_bench.py --build build --build-win build-win [--size MIB] [--handsets N]
                        [--rounds N]

Each run serves fresh handsets, writes a PDA image of SIZE MiB to each, and counts what the
handsets received (varnel-sim --dump) over the download time: from the job's start to the end of
its last port (the report's port seconds), so that Wine's start-up, the attach and the program's
close are not counted. The Windows run reaches the ptys
through links dosdevices/comN in the Wine prefix of the build directory. With --rounds, the two
runs alternate that many times and the medians are compared, so that a burst of load on a shared
machine does not decide the ratio.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time


def run(args, work, name, command, link_prefix=None):
    sim_dir = os.path.join(work, name + "-sim")
    dump = os.path.join(work, name + "-dump")
    report = os.path.join(work, name + "-report.json")
    server = subprocess.Popen([args.sim, "--dir", sim_dir, "--handsets", str(args.handsets),
                               "--dump", dump], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL)
    try:
        entries = [os.path.join(sim_dir, "SIM%d" % i) for i in range(args.handsets)]
        for _ in range(200):
            if all(os.path.exists(entry) for entry in entries):
                break
            time.sleep(0.05)
        if link_prefix is not None:
            for i, entry in enumerate(entries):
                link = os.path.join(link_prefix, "dosdevices", "com%d" % (5 + i))
                if os.path.lexists(link):
                    os.remove(link)
                os.symlink(entry, link)
        job = subprocess.run(command(report), stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=1800)
    finally:
        server.terminate()
        server.wait(timeout=60)
    if job.returncode != 0:
        sys.exit("%s: exit %d\n%s" % (name, job.returncode, job.stderr[-2000:]))
    with open(report) as file:
        record = json.load(file)
    with open(os.path.join(dump, "manifest.json")) as file:
        received = sum(region["length"] for handset in json.load(file)
                       for region in handset["flashed"])
    elapsed = max(port["seconds"] for port in record["ports"])
    return received, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--build-win", default="build-win")
    parser.add_argument("--size", type=int, default=32, help="PDA image size in MiB")
    parser.add_argument("--handsets", type=int, default=2, choices=range(1, 9))
    parser.add_argument("--rounds", type=int, default=1, help="alternating runs of each")
    args = parser.parse_args()
    programs = os.path.join(args.build, "src", "app", "programs")
    args.sim = os.path.join(programs, "varnel-sim")
    cli = os.path.join(programs, "varnel-cli")
    cli_exe = os.path.join(args.build_win, "src", "app", "programs", "varnel-cli.exe")
    wine_run = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cmake",
                            "wine-run.sh")
    prefix = os.path.abspath(os.path.join(args.build_win, "wine-prefix"))
    common = ["--attach-present", "--keep-sync-software", "--skip-boot-wait",
              "--ports", str(args.handsets)]

    with tempfile.TemporaryDirectory() as work:
        pda = os.path.join(work, "pda.nb0")
        subprocess.run([os.path.join(programs, "varnel-mkimage"), "--size",
                        "%dM" % args.size, pda], check=True, stdout=subprocess.DEVNULL)
        ports = sum((["--com", "COM%d" % (5 + i)] for i in range(args.handsets)), [])
        names = ("Linux varnel-cli --transport tty", "Wine varnel-cli.exe --com")
        rates = ([], [])
        for round_number in range(max(1, args.rounds)):
            # Fresh handsets, dumps and reports every round.
            native_name, wine_name = "native%d" % round_number, "wine%d" % round_number
            native = run(args, work, native_name, lambda report: [
                cli, "--transport", "tty", "--tty-dir", os.path.join(work, native_name + "-sim"),
                "--pda", pda, "--report", report, *common])
            wine = run(args, work, wine_name, lambda report: [
                wine_run, prefix, cli_exe, "--transport", "file", *ports, "--pda", "Z:" + pda,
                "--report", "Z:" + report, *common], link_prefix=prefix)
            for name, rate, (received, elapsed) in zip(names, rates, (native, wine)):
                rate.append(received / elapsed / 1e6)
                print("%-34s %d handsets, %.1f MB in %.2f s: %.2f MB/s" %
                      (name, args.handsets, received / 1e6, elapsed, rate[-1]), flush=True)

    medians = [statistics.median(rate) for rate in rates]
    if args.rounds > 1:
        for name, median in zip(names, medians):
            print("%-34s median of %d: %.2f MB/s" % (name, args.rounds, median))
    print("ratio Wine / Linux: %.0f%% (target: at least 70%%)" % (100 * medians[1] / medians[0]))


if __name__ == "__main__":
    main()
