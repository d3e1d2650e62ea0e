#!/usr/bin/env python3
"""A whole job of varnel-cli.exe under Wine against varnel-sim handsets on ptys mapped to COM ports.

wine_job.py WINE_RUN PREFIX CLI_EXE MKIMAGE_EXE VARNEL_SIM
Each case serves two handsets, links dosdevices/com5 and com6 to their ptys, runs the job and
compares what every handset flashed (varnel-sim --dump) with the image builder's manifest.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

wine_run, prefix, cli, mkimage, sim = sys.argv[1:6]


def windows_path(path):
    return "Z:" + path


def manifest(image, options):
    out = subprocess.run([wine_run, prefix, mkimage, *options, "--manifest", windows_path(image)],
                         check=True, capture_output=True, text=True, stdin=subprocess.DEVNULL).stdout
    regions = {}
    for line in out.splitlines():
        name, _offset, length, byte_sum = line.split()
        regions[name] = (int(length), int(byte_sum, 16))
    return regions


def run_case(work, name, image_options, cli_options, faults, expect_exit):
    sim_dir = os.path.join(work, name + "-sim")
    dump = os.path.join(work, name + "-dump")
    server = subprocess.Popen([sim, "--dir", sim_dir, "--handsets", "2", "--record", "digest",
                               "--dump", dump, *sum((["--fault", f] for f in faults), [])],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if all(os.path.exists(os.path.join(sim_dir, "SIM%d" % i)) for i in range(2)):
                break
            time.sleep(0.05)
        for i in range(2):
            link = os.path.join(prefix, "dosdevices", "com%d" % (5 + i))
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(os.path.realpath(os.path.join(sim_dir, "SIM%d" % i)), link)
        job = subprocess.run([wine_run, prefix, cli, "--transport", "file", "--com", "COM5",
                              "--com", "COM6", "--attach-present", "--ports", "2",
                              "--skip-boot-wait", "--detect-timeout", "20", "--reply-limit", "3",
                              *cli_options], stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=300)
    finally:
        server.terminate()
        server.wait(timeout=30)
    failures = []
    if job.returncode != expect_exit:
        failures.append("exit %d, expected %d:\n%s" % (job.returncode, expect_exit, job.stderr[-2000:]))
    with open(os.path.join(dump, "manifest.json")) as file:
        handsets = json.load(file)
    return failures, handsets


def flashed_sums(handset):
    return sorted((region["length"], region["byteSum"]) for region in handset["flashed"])


def main():
    failures = []
    with tempfile.TemporaryDirectory() as work:
        # PDA with a LANGPACK; the second handset stops answering: that port fails alone.
        pda = os.path.join(work, "pda.nb0")
        regions = manifest(pda, ["--size", "256K", "--langpack", "8K"])
        problems, handsets = run_case(work, "pda", [], ["--pda", windows_path(pda)],
                                      ["1:stall=3"], 1)
        failures += problems
        wanted = sorted([regions["pda.data"], regions["langpack.data"]])
        if flashed_sums(handsets[0]) != wanted:
            failures.append("PDA: flashed %s, expected %s" % (flashed_sums(handsets[0]), wanted))
        if handsets[1]["flashed"]:
            failures.append("the stalled handset flashed %s" % handsets[1]["flashed"])
    for failure in failures:
        print("FAILED: " + failure)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
