#!/usr/bin/env python3
"""A whole job of varnel-cli.exe under Wine against varnel-sim handsets on ptys mapped to COM ports.

wine_job.py WINE_RUN PREFIX CLI_EXE MKIMAGE_EXE VARNEL_SIM
Each case serves two handsets, links dosdevices/com5 and com6 to their entries in the sim's
folder, runs the job and compares what every handset flashed (varnel-sim --dump) with the image
builder's manifest. The links name the entries, not the ptys behind them: a handset that
reattaches comes back on a new pty under the same entry, which the link then reaches.
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time

wine_run, prefix, cli, mkimage, sim = sys.argv[1:6]
# Wine passes arguments and file names between the two systems in the locale's encoding.
os.environ["LC_ALL"] = "C.UTF-8"


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
            os.symlink(os.path.join(sim_dir, "SIM%d" % i), link)
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
    return failures, handsets, job.stdout


def flashed_sums(handset):
    return sorted((region["length"], region["byteSum"]) for region in handset["flashed"])


def main():
    failures = []
    with tempfile.TemporaryDirectory() as work:
        # PDA with a LANGPACK; the second handset stops answering: that port fails alone. The
        # image, the log and the report are in a folder named in Hangul.
        made = os.path.join(work, "pda.nb0")
        regions = manifest(made, ["--size", "256K", "--langpack", "8K"])
        folder = os.path.join(work, "\ud38c\uc6e8\uc5b4")
        os.mkdir(folder)
        pda = os.path.join(folder, "pda.nb0")
        os.rename(made, pda)
        log_file = os.path.join(folder, "job.log")
        report_file = os.path.join(folder, "report.json")
        problems, handsets, _ = run_case(work, "pda", [],
                                         ["--pda", windows_path(pda), "--log",
                                          windows_path(log_file), "--report",
                                          windows_path(report_file)], ["1:stall=3"], 1)
        failures += problems
        if not os.path.exists(log_file) or os.path.getsize(log_file) == 0:
            failures.append("PDA: no log in the Hangul folder")
        try:
            with open(report_file) as file:
                json.load(file)
        except (OSError, ValueError) as problem:
            failures.append("PDA: no report in the Hangul folder: %s" % problem)
        wanted = sorted([regions["pda.data"], regions["langpack.data"]])
        if flashed_sums(handsets[0]) != wanted:
            failures.append("PDA: flashed %s, expected %s" % (flashed_sums(handsets[0]), wanted))
        if handsets[1]["flashed"]:
            failures.append("the stalled handset flashed %s" % handsets[1]["flashed"])

        # EBoot before a PDA: each handset writes the EBoot, leaves, comes back on a new pty
        # (one of them slowly) and takes the PDA.
        eboot = os.path.join(work, "boot.eb0")
        small_pda = os.path.join(work, "small.nb0")
        wanted = sorted([manifest(eboot, ["--size", "64K"])["eboot"],
                         manifest(small_pda, ["--size", "64K"])["pda.data"]])
        problems, handsets, log = run_case(work, "eboot", [],
                                           ["--eboot", windows_path(eboot), "--pda",
                                            windows_path(small_pda)], ["1:slow-reattach=300"], 0)
        failures += problems
        for index, handset in enumerate(handsets):
            if flashed_sums(handset) != wanted or handset["reattaches"] != 1:
                failures.append("EBoot %d: flashed %s after %d reattach(es), expected %s after one" %
                                (index, flashed_sums(handset), handset["reattaches"], wanted))
        for port in range(2):
            if "[%d]Reconnect Success!!" % port not in log:
                failures.append("EBoot: port %d did not reconnect" % port)

        # Multi-CSC: the second file and a language of it, as the main log says it chose.
        csc = os.path.join(work, "multi.csc")
        regions = manifest(csc, ["--csc-file", "EUR:4096", "--csc-file", "NEE:8192",
                                 "--languages", "5,7,8"])
        problems, handsets, log = run_case(work, "csc", [], ["--csc", windows_path(csc),
                                                            "--csc-file", "1", "--language", "1"],
                                           [], 0)
        failures += problems
        said = {(int(position), int.from_bytes(code.encode(), "little")) for position, code in
                re.findall(r"\[(?:PDA|LNG):\d\] LANG_ID:\[(\d+)\]\[(\w{4})\]", log)}
        if len(said) != 1:
            failures.append("CSC: the main log names the languages %s" % said)
        for index, handset in enumerate(handsets):
            if flashed_sums(handset) != [regions["csc.file1"]]:
                failures.append("CSC %d: flashed %s, expected %s" %
                                (index, flashed_sums(handset), [regions["csc.file1"]]))
            selected = [tuple(selection[1:]) for selection in handset["languages"]]
            if selected != list(said)[:1]:
                failures.append("CSC %d: selected %s, the log says %s" % (index, selected, said))

    for failure in failures:
        print("FAILED: " + failure)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
