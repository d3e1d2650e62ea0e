#!/usr/bin/env python3
"""Benches publishing to a real mosquitto on a loopback port, seen by a subscriber and varnel-line.

mqtt_line.py VARNEL_CLI VARNEL_LINE VARNEL_MKIMAGE
Each case starts its own broker (a free port, its config and persistence in a temp folder) and
stops it after. Exits 77 (skipped) when the mosquitto broker or its clients are not installed.
"""
import datetime
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

cli, line_view, mkimage = sys.argv[1:4]
broker_program = shutil.which("mosquitto") or shutil.which("mosquitto", path="/usr/sbin")
subscriber_program = shutil.which("mosquitto_sub")
if not broker_program or not subscriber_program or not shutil.which("mosquitto_pub"):
    print("mqtt_line.py: mosquitto, mosquitto_sub or mosquitto_pub is not installed: skipped")
    sys.exit(77)

failures = []
# Simulated handsets without pauses, for the cases where the job's pace does not matter.
FAST = ["--sim-round-trip", "0", "--sim-flash-rate", "0", "--sim-time-scale", "100"]


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


def seconds_of(stamp):
    return datetime.datetime.fromisoformat(stamp.replace("Z", "+00:00")).timestamp()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(predicate, limit, what):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    failures.append("timed out waiting for " + what)
    return False


class Broker:
    def __init__(self, work, more_listeners=""):
        self.port = free_port()
        self.config = os.path.join(work, "mosquitto.conf")
        with open(self.config, "w") as config:
            config.write("per_listener_settings true\npersistence true\n"
                         "persistence_location %s/\nmax_queued_messages 0\n"
                         "listener %d 127.0.0.1\nallow_anonymous true\n%s"
                         % (work, self.port, more_listeners))
            if os.geteuid() == 0:
                config.write("user root\n")  # else it drops to a user that cannot write `work`
        self.log = open(os.path.join(work, "mosquitto.log"), "a")
        self.process = None
        self.start()

    def accepts(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
            return True
        except OSError:
            return False

    def start(self):
        self.process = subprocess.Popen([broker_program, "-c", self.config], stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=self.log)
        wait_for(self.accepts, 10, "the broker to listen")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)

    def url(self):
        return "mqtt://127.0.0.1:%d" % self.port


class Subscriber:
    """mosquitto_sub on varnel/#, with a session the broker keeps across its restart."""

    def __init__(self, work, broker):
        self.path = os.path.join(work, "subscriber.txt")
        self.process = subprocess.Popen(
            [subscriber_program, "-h", "127.0.0.1", "-p", str(broker.port), "-t", "varnel/#",
             "-q", "1", "-c", "-i", "varnel-test-subscriber", "-v"],
            stdin=subprocess.DEVNULL, stdout=open(self.path, "w"), stderr=subprocess.DEVNULL)
        # A retained probe reaches it once its subscription is in place.
        subprocess.run([shutil.which("mosquitto_pub"), "-h", "127.0.0.1", "-p", str(broker.port),
                        "-t", "varnel/probe", "-r", "-q", "1", "-m", "{}"], check=True)
        wait_for(lambda: "varnel/probe" in open(self.path).read(), 10, "the subscription")

    def messages(self):
        out = []
        with open(self.path) as lines:
            for line in lines:
                if line.endswith("\n") and " " in line:
                    topic, payload = line.rstrip("\n").split(" ", 1)
                    out.append((topic, json.loads(payload)))
        return out

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def history_of(bench):
    """Each bench keeps its own history, and with it the queue of what its broker has not taken."""
    return ["--history", os.path.join(os.environ["XDG_DATA_HOME"], bench + ".sqlite3")]


def run_bench(broker, images, bench, extra, **popen):
    return subprocess.Popen([cli, "--pda", images["pda"], "--skip-boot-wait", "--mqtt", broker.url(),
                             "--bench", bench, *history_of(bench), *extra],
                            stdin=subprocess.DEVNULL, **popen)


def unique_by_seq(messages, bench):
    """The bench's states and events without repeats, in the order received; and whether the
    sequence numbers came in order with none missing."""
    seen = set()
    kept = []
    for topic, payload in messages:
        if topic.startswith("varnel/line/%s/" % bench) and "seq" in payload:
            if (payload["run"], payload["seq"]) not in seen:
                seen.add((payload["run"], payload["seq"]))
                kept.append((topic, payload))
    seqs = [payload["seq"] for _, payload in kept]
    return kept, seqs == list(range(1, len(seqs) + 1))


def case_eight_ports(work, images):
    """Every port event, the retained state and the job report of an eight-port job."""
    broker = Broker(work)
    subscriber = Subscriber(work, broker)
    report_path = os.path.join(work, "report.json")
    events_path = os.path.join(work, "events.jsonl")
    try:
        bench = run_bench(broker, images, "A", ["--simulate", "8", "--report", report_path,
                                                "--events", events_path, *FAST],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        _, err = bench.communicate(timeout=120)
        check(bench.returncode == 0, "eight ports: exit %d: %s" % (bench.returncode, err))
        check("stay" not in err, "eight ports: messages stayed queued: " + err)
        wait_for(lambda: any(t.endswith("/presence") and not p["online"]
                             for t, p in subscriber.messages()), 10, "the offline marker")
    finally:
        subscriber.stop()
        broker.stop()
    messages = subscriber.messages()
    kept, in_order = unique_by_seq(messages, "A")
    check(in_order and len(kept) == len([m for m in messages if "seq" in m[1]]),
          "eight ports: states and events not each once in order")
    report = json.load(open(report_path))
    local = [json.loads(line) for line in open(events_path)]
    for port in range(8):
        events = [p for t, p in kept if t == "varnel/line/A/port/%d/event" % port]
        if not check(events, "eight ports: no events of port %d" % port):
            continue
        ends = [p for p in events if p["event"] == "end"]
        check(len(ends) == 1 and ends[0]["state"] == "finished",
              "eight ports: port %d's end: %s" % (port, ends))
        # Every status the bench showed itself (--events), one by one; the broker's events also
        # carry the changes of state alone.
        shown = [(p["status_code"], p["percent"], p["text"]) for p in events
                 if p["event"] == "status"]
        shown = [step for i, step in enumerate(shown) if i == 0 or step != shown[i - 1]]
        written = [(e["code"], e["percent"], e["text"]) for e in local
                   if e["event"] == "status" and e["port"] == port]
        check(len(shown) > 100 and shown == written,
              "eight ports: port %d's statuses differ from its --events" % port)
        check(all(p["schema_version"] == 1 and p["job"] == 1 for p in events),
              "eight ports: port %d's events lack their version or job" % port)
    states = [p for t, p in kept if t == "varnel/line/A/state"]
    check(states and states[0]["job_state"] == "running" and states[-1]["job_state"] == "ended"
          and states[-1]["result"] == "finished"
          and [p["state"] for p in states[-1]["ports"]] == ["finished"] * 8
          and states[-1]["images"][0]["sha256"] == report["images"][0]["sha256"] != "",
          "eight ports: the states %s" % states[-1:])
    jobs = [p for t, p in messages if t == "varnel/line/A/job"]
    check(jobs == [report], "eight ports: the job message is not the report")
    presence = [p["online"] for t, p in messages if t == "varnel/line/A/presence"]
    check(presence[:1] == [True] and presence[-1:] == [False],
          "eight ports: presence %s" % presence)


def case_broker_outage(work, images):
    """The broker stops mid-job and comes back: every event arrives afterwards, in order."""
    broker = Broker(work)
    subscriber = Subscriber(work, broker)
    try:
        # Some seconds of flashing, which the outage falls into.
        bench = run_bench(broker, images, "A", ["--simulate", "2", "--sim-flash-rate", "0.2"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        wait_for(lambda: any(t.endswith("/event") and p.get("percent", 0) >= 1
                             for t, p in subscriber.messages()), 60, "the job's first events")
        broker.stop()
        away = time.time()
        time.sleep(1.5)
        check(bench.poll() is None, "outage: the job ended before the broker came back")
        back = time.time()
        broker.start()
        _, err = bench.communicate(timeout=120)
        check(bench.returncode == 0, "outage: exit %d: %s" % (bench.returncode, err))
        check("stay" not in err, "outage: messages stayed queued: " + err)
        wait_for(lambda: any(t == "varnel/line/A/job" for t, _ in subscriber.messages()), 30,
                 "the job report after the outage")
    finally:
        subscriber.stop()
        broker.stop()
    kept, in_order = unique_by_seq(subscriber.messages(), "A")
    check(in_order, "outage: sequence numbers missing or out of order: %s"
          % [p["seq"] for _, p in kept])
    ends = sorted(p["port"] for t, p in kept if t.endswith("/event") and p["event"] == "end")
    check(ends == [0, 1], "outage: port ends %s" % ends)
    check(kept and kept[-1][1].get("job_state") == "ended", "outage: the last state")
    made = [seconds_of(p["time"]) for _, p in kept]
    check(any(away < t < back for t in made), "outage: no message was made while it lasted")


def case_two_benches(work, images):
    """Two benches on one line, one port of B failing, as varnel-line --json sees them."""
    broker = Broker(work)
    view_out = os.path.join(work, "line.jsonl")
    view = subprocess.Popen([line_view, "--mqtt", broker.url(), "--json"],
                            stdin=subprocess.DEVNULL, stdout=open(view_out, "w"),
                            stderr=subprocess.DEVNULL)

    def last_view():
        lines = open(view_out).read().splitlines()
        return json.loads(lines[-1]) if lines else None

    def both_gone():
        state = last_view()
        return state and [b["online"] for b in state["benches"]] == [False, False]

    try:
        time.sleep(0.5)
        a = run_bench(broker, images, "A", ["--simulate", "2", *FAST], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL)
        b = run_bench(broker, images, "B", ["--simulate", "2", "--sim-fault", "1:flash-fail=0", *FAST],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        check((a.wait(timeout=120), b.wait(timeout=120)) == (0, 1), "two benches: exit statuses")
        wait_for(both_gone, 15, "varnel-line to see both benches end")
    finally:
        view.send_signal(signal.SIGINT)
        check(view.wait(timeout=10) == 0, "two benches: varnel-line's exit status")
        broker.stop()
    state = last_view()
    if not check(state, "two benches: varnel-line printed nothing"):
        return
    benches = {b["bench"]: b for b in state["benches"]}
    check(sorted(benches) == ["A", "B"], "two benches: benches %s" % sorted(benches))
    check(benches.get("A", {}).get("yield") == {"finished": 2, "failed": 0}
          and benches.get("B", {}).get("yield") == {"finished": 1, "failed": 1},
          "two benches: yields %s" % {k: v["yield"] for k, v in benches.items()})
    check(benches.get("B", {}).get("result") == "failed", "two benches: B's result")
    check([(f["bench"], f["port"]) for f in state["failures"]] == [("B", 1)],
          "two benches: failures %s" % state["failures"])


def case_tls_and_credentials(work, images):
    """A bench on a TLS listener that wants a user and password; with a wrong password the job
    still ends as it would, saying what stays queued."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=work, check=True, capture_output=True)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt",
            "-subj", "/CN=varnel test CA", "-days", "2")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=127.0.0.1")
    with open(os.path.join(work, "san.cnf"), "w") as san:
        san.write("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile", "san.cnf")
    passwords = os.path.join(work, "passwords")
    subprocess.run([shutil.which("mosquitto_passwd"), "-b", "-c", passwords, "bench", "p@ss:1"],
                   check=True, capture_output=True)
    tls_port = free_port()
    broker = Broker(work, "listener %d 127.0.0.1\nallow_anonymous false\npassword_file %s\n"
                          "cafile %s/ca.crt\ncertfile %s/server.crt\nkeyfile %s/server.key\n"
                          % (tls_port, passwords, work, work, work))
    subscriber = Subscriber(work, broker)
    results = {}
    try:
        for name, password in (("T", "p%40ss%3A1"), ("W", "wrong")):
            url = "mqtts://bench:%s@127.0.0.1:%d" % (password, tls_port)
            bench = subprocess.run([cli, "--pda", images["pda"], "--skip-boot-wait", "--simulate",
                                    "1", *FAST, "--mqtt", url, "--mqtt-ca",
                                    os.path.join(work, "ca.crt"), "--bench", name, *history_of(name)],
                                   stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                   timeout=120)
            results[name] = (bench.returncode, bench.stderr)
        wait_for(lambda: any(t == "varnel/line/T/job" for t, _ in subscriber.messages()), 10,
                 "the job over TLS")
    finally:
        subscriber.stop()
        broker.stop()
    check(results["T"][0] == 0 and "queued" not in results["T"][1],
          "tls: exit and messages: %s" % (results["T"],))
    check(results["W"][0] == 0
          and "stay queued: Connection Refused: not authorised" in results["W"][1],
          "tls, wrong password: %s" % (results["W"],))
    check(not any("/W/" in t for t, _ in subscriber.messages()),
          "tls: the wrong password got through")


def main():
    with tempfile.TemporaryDirectory() as work:
        images = {"pda": os.path.join(work, "pda.nb0")}
        subprocess.run([mkimage, "--size", "1M", images["pda"]], check=True,
                       stdout=subprocess.DEVNULL)
        for case in (case_eight_ports, case_broker_outage, case_two_benches,
                     case_tls_and_credentials):
            folder = os.path.join(work, case.__name__)
            os.mkdir(folder)
            os.environ["XDG_DATA_HOME"] = folder
            before = len(failures)
            case(folder, images)
            print("%s: %s" % (case.__name__, "ok" if len(failures) == before else "FAILED"))
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


sys.exit(main())
