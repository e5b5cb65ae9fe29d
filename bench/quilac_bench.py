#!/usr/bin/python3
"""quilac under fleet load, six runs whose figures are printed side by side:

burst   N reports at once (default 10,000), an API program that takes 0.2 s,
        the daemon limited to 1024 descriptors: all answered, workers never
        above -w, peak RSS, and the slowest `ubus call quilac info` of the
        probes made during the burst.
rate    2000 reports with a trivial static worker, bridged end to end,
        against the raw fork+exec+pipe-read rate of the same worker.
flood   `exec yes` as the API program for 5 s: peak RSS; then every line that
        reached the pipe (the worker's written bytes, read from /proc before
        it is killed) must come out of the broker.
hole    the broker's address black-holed (a listener with a full backlog
        drops the SYNs): the slowest `info`, and the time from the broker
        appearing there to the session being up.
overload  an API program of 0.1 s: the rate 8 of them manage alone (before
        and after, averaged), and reports of 1 KiB sent for 20 s at 2.5 times
        that rate to the daemon (-q 512): the rate answered meanwhile against
        that floor, and answered + counted as dropped = sent once it is over.
restart 4,000 reports at once; once replies flow the broker is stalled,
        killed and started again: every report answered or counted as
        dropped, and none dropped (the outage is shorter than the time the
        workers need to fill the publish backlog).
cut     a device sends 40 reports a second for 20 s while a proxy between
        quilac and the broker cuts quilac's connection every 2 s: reports
        lost per cut (the broker keeps them for quilac's session).
big     one 16 MiB report from a device: the daemon's peak RSS against its
        peak before the report (the floor).
fleet   a worker-bound load (an API program that waits 0.1 s, -w 4): the
        rate of two bridges of one group (-g) against one bridge alone.
stop    1,000 reports at once to two bridges of a group; one is stopped
        (SIGTERM) in mid-burst: reports lost.

Run as root after building (scripts/bench does both):
    bench/quilac_bench.py [--burst N] [--rate N] [--only NAME]"""
import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/system"))
os.environ.setdefault("QUIL_BUILD_DIR", str(ROOT / "build"))

from harness import (BUILD, CLIENT_ID, QUILAC, BlackHole, Broker, Proc, ProcessTag,  # noqa: E402
                     Proxy, Sandbox, children_of, rss_kib, ubus, wchar)

MAX_WORKERS = 8          # the daemon's default
RSS_LIMIT_KIB = 16 * 1024
INFO_LIMIT_MS = 250


def run_dir():
    # Stragglers (a worker, a subscriber being stopped) may still write there
    # for a moment: a run's result does not depend on removing it.
    return tempfile.TemporaryDirectory(prefix="quilbench.", ignore_cleanup_errors=True)


def timing(*row):
    """A row whose target depends on the machine being otherwise idle: a miss
    is reported, and does not make the run fail."""
    return (*row, "timing")


def timed_info(sock):
    t = time.monotonic()
    r = ubus(sock, "call", "quilac", "info", timeout=10)
    return (time.monotonic() - t) * 1000 if r.returncode == 0 else float("inf")


def wait_until(cond, timeout):
    end = time.monotonic() + timeout
    while not cond() and time.monotonic() < end:
        time.sleep(0.1)
    return cond()


class Bridge:
    """Sandbox, bus, broker and quilac (-S -l 2) in a directory of their own."""

    def __init__(self, d, worker=None, binary=None, nofile=None, port=None, broker=True,
                 extra=(), via=None):
        self.sb = Sandbox(d)
        if binary:
            self.sb.install_quilapi_binary(binary)
        elif worker:
            self.sb.set_quilapi(worker)
        self.sb.start_bus()
        self.broker = Broker(d, [CLIENT_ID], port=port)
        if broker:
            self.broker.start()
        self.proxy = via(self.broker.port) if via else None
        argv = self.sb.wrap([QUILAC, "-S", "-l", "2", "-b", "127.0.0.1", "-p",
                             self.proxy.port if via else self.broker.port,
                             "-i", CLIENT_ID, *extra])
        if nofile:
            argv = ["prlimit", f"--nofile={nofile}:{nofile}", "--", *argv]
        self.q = Proc(argv, d / "quilac.log")
        self.pid = self.q.pid

    def daemon_pid(self):
        # prlimit and the namespace set-up exec along the way: the pid stays.
        return self.pid

    def up(self):
        self.q.wait_output("subscribed (mid: 3)", timeout=30)

    def stop(self):
        self.q.stop()
        if self.proxy:
            self.proxy.close()
        self.broker.stop()
        self.sb.bus.stop()


def run_burst(n):
    with run_dir() as d:
        d = Path(d)
        b = Bridge(d, worker='sleep 0.2; echo t/burst; echo "A $2"\n', nofile=1024)
        b.up()
        log = d / "replies.log"
        sub = b.broker.sub("t/burst", log, count=n, timeout=3600)
        probes, workers = [], [0]
        done = threading.Event()

        def probe():
            while not done.is_set():
                probes.append(timed_info(b.sb.socket))
                workers[0] = max(workers[0], len(children_of(b.pid)))
                time.sleep(0.05)

        t = threading.Thread(target=probe)
        t.start()
        start = time.monotonic()
        b.broker.pub_lines("upload/burst", [f"m{i}" for i in range(n)], timeout=None)
        sub.p.wait(3600)
        elapsed = time.monotonic() - start
        done.set()
        t.join()
        answered = len(b.broker.messages(log))
        peak = rss_kib(b.pid, "VmHWM")
        b.stop()
    return [
        ("burst", f"reports answered of {n}", n, answered, answered == n),
        ("burst", "max workers", f"<= {MAX_WORKERS}", workers[0], workers[0] <= MAX_WORKERS),
        ("burst", "daemon peak RSS KiB", f"<= {RSS_LIMIT_KIB}", peak, peak <= RSS_LIMIT_KIB),
        timing("burst", f"slowest info ms ({len(probes)} probes)", f"<= {INFO_LIMIT_MS}",
               round(max(probes), 1), max(probes) <= INFO_LIMIT_MS),
        ("burst", "duration s", "", round(elapsed, 1), True),
    ]


def run_rate(n):
    worker = BUILD / "bench/static_worker"
    with run_dir() as d:
        d = Path(d)
        b = Bridge(d, binary=worker)
        b.up()
        log = d / "replies.log"
        sub = b.broker.sub("t/bench", log, count=n, timeout=600)
        start = time.monotonic()
        b.broker.pub_lines("upload/bench", [f"m{i}" for i in range(n)], timeout=None)
        sub.p.wait(600)
        bridged = n / (time.monotonic() - start)
        b.stop()
    raw = float(subprocess.run([str(BUILD / "bench/spawn_rate"), str(worker), str(n)],
                               capture_output=True, text=True, check=True).stdout)
    return [
        ("rate", "bridged reports/s", "", round(bridged), True),
        ("rate", "raw fork+exec+read runs/s", "", round(raw), True),
        timing("rate", "ratio bridged/raw", ">= 0.9", round(bridged / raw, 2),
               bridged / raw >= 0.9),
    ]


def run_flood(seconds=5):
    with run_dir() as d:
        d = Path(d)
        b = Bridge(d, worker="exec yes\n")
        b.up()
        log = d / "y.log"
        sub = b.broker.sub("y", log)
        b.broker.pub("upload/flood", "go")
        wait_until(lambda: children_of(b.pid), 5)
        worker = children_of(b.pid)[0]
        time.sleep(seconds)
        os.kill(worker, signal.SIGSTOP)      # its written bytes stop moving
        written = wchar(worker)
        os.kill(worker, signal.SIGKILL)
        peak = rss_kib(b.pid, "VmHWM")
        want = written // 2 - 1              # "y\n" each; the first line is the topic
        wait_until(lambda: len(b.broker.messages(log)) >= want, 120)
        got = len(b.broker.messages(log))
        sub.stop()
        b.stop()
    return [
        ("flood", "daemon peak RSS KiB", f"< {RSS_LIMIT_KIB}", peak, peak < RSS_LIMIT_KIB),
        ("flood", "lines published / written", "all",
         f"{got} / {want}", got == want),
    ]


def run_hole(probes=20):
    with run_dir() as d:
        d = Path(d)
        hole = BlackHole()
        b = Bridge(d, port=hole.port, broker=False)
        end = time.monotonic() + 10
        while ubus(b.sb.socket, "call", "quilac", "info").returncode and time.monotonic() < end:
            time.sleep(0.05)
        times = []
        for _ in range(probes):
            times.append(timed_info(b.sb.socket))
            time.sleep(0.1)
        status = json.loads(ubus(b.sb.socket, "call", "quilac", "info").stdout)["status"]
        hole.close()
        start = time.monotonic()
        b.broker.start()
        b.up()
        up = time.monotonic() - start
        b.stop()
    return [
        timing("hole", f"slowest info ms ({probes} probes, {status})", f"<= {INFO_LIMIT_MS}",
               round(max(times), 1), max(times) <= INFO_LIMIT_MS),
        ("hole", "broker appears -> session up s", "", round(up, 1), True),
    ]


def stats(b):
    return json.loads(ubus(b.sb.socket, "call", "quilac", "stats").stdout)


SLOW_WORKER = 'sleep 0.1; echo t/o; echo "$2" | head -c 40; echo\n'


def workers_alone(script, n=240):
    """Reports per second that MAX_WORKERS of the API program manage run
    side by side without the daemon: the floor for the overload run."""
    arg = json.dumps({"topic": "upload/o", "payload": "p" * 1024})
    return float(subprocess.run([str(BUILD / "bench/spawn_rate"), str(script), str(n),
                                 str(MAX_WORKERS), arg],
                                capture_output=True, text=True, check=True).stdout)


def run_overload(seconds=20, factor=2.5):
    with run_dir() as d:
        d = Path(d)
        b = Bridge(d, worker=SLOW_WORKER, extra=["-q", "512"])
        b.up()
        # Measured before and after, averaged: the machine's load drifts.
        floor = workers_alone(b.sb.upper / "quilapi")
        log = d / "o.log"
        sub = b.broker.sub("t/o", log)
        pub = subprocess.Popen(["mosquitto_pub", "-p", str(b.broker.port), "-u", "test", "-P",
                                "test", "-q", "1", "-t", "upload/o", "-l"],
                               stdin=subprocess.PIPE, text=True)
        rate, sent = floor * factor, 0
        start = time.monotonic()
        window = []                          # (time, answered) after the first 5 s
        while (now := time.monotonic()) - start < seconds:
            due = int((now - start) * rate)
            for i in range(sent, due):
                pub.stdin.write(f"{i:06d}" + "p" * 1018 + "\n")
            sent = due
            pub.stdin.flush()
            if now - start >= 5 and (not window or now - window[-1][0] >= 1):
                window.append((now, len(b.broker.messages(log))))
            time.sleep(0.01)
        pub.stdin.close()
        pub.wait(60)
        answered_rate = (window[-1][1] - window[0][1]) / (window[-1][0] - window[0][0])
        wait_until(lambda: len(b.broker.messages(log)) + stats(b)["dropped"] >= sent
                   and stats(b)["workers"] == 0, 120)
        answered, dropped = len(b.broker.messages(log)), stats(b)["dropped"]
        floor = (floor + workers_alone(b.sb.upper / "quilapi")) / 2
        sub.stop()
        b.stop()
    return [
        ("overload", "workers alone reports/s", "", round(floor, 1), True),
        ("overload", f"answered reports/s at {factor}x", "", round(answered_rate, 1), True),
        timing("overload", "ratio answered/alone", ">= 0.9", round(answered_rate / floor, 2),
               answered_rate / floor >= 0.9),
        ("overload", f"(answered + dropped) / sent, {dropped} dropped", "1.0",
         round((answered + dropped) / sent, 3), answered + dropped == sent),
    ]


def run_restart(n=4000):
    with run_dir() as d:
        d = Path(d)
        b = Bridge(d, worker='echo t/r; echo "$2"\n')
        b.up()
        log = d / "r.log"
        b.broker.sub("t/r", log)             # reconnects on its own, before quilac does
        b.broker.pub_lines("upload/r", [f"m{i}" for i in range(n)], timeout=None)
        wait_until(lambda: len(b.broker.messages(log)) >= n // 4, 60)
        mid_burst = stats(b)["queued"] > 0
        b.broker.proc.p.send_signal(signal.SIGSTOP)
        time.sleep(0.5)
        b.broker.stop()
        time.sleep(1)
        b.broker.start()

        def unique():
            return len(set(b.broker.messages(log)))
        wait_until(lambda: unique() + stats(b)["dropped"] >= n and stats(b)["workers"] == 0, 300)
        answered, dropped = unique(), stats(b)["dropped"]
        b.stop()
    return [
        ("restart", f"(answered + dropped) / sent of {n}", "1.0", round((answered + dropped) / n, 3),
         answered + dropped == n),
        timing("restart", "reports dropped (outage < backlog bound)", "0", dropped,
               dropped == 0),
        ("restart", "broker killed mid-burst", "yes", "yes" if mid_burst else "no", mid_burst),
    ]


def run_cut(seconds=20, rate=40, every=2.0):
    with run_dir() as d:
        d = Path(d)
        runs = d / "runs"
        b = Bridge(d, worker=f'echo "$2" >> {runs}\n', via=Proxy)
        b.up()
        pub = subprocess.Popen(["mosquitto_pub", "-p", str(b.broker.port), "-u", "test", "-P",
                                "test", "-q", "1", "-t", "upload/c", "-l"],
                               stdin=subprocess.PIPE, text=True)
        sent, cuts, start = 0, 0, time.monotonic()
        while (now := time.monotonic()) - start < seconds:
            due = int((now - start) * rate)
            for i in range(sent, due):
                pub.stdin.write(f"c{i}\n")
            sent = max(sent, due)
            pub.stdin.flush()
            # only a connection that is up: quilac is back from the last cut
            if now - start >= (cuts + 1) * every and len(b.proxy.conns) > cuts:
                b.proxy.cut()
                cuts += 1
            time.sleep(0.01)
        pub.stdin.close()
        pub.wait(60)

        def ran():
            text = runs.read_text() if runs.exists() else ""
            return {json.loads(line)["payload"] for line in text.splitlines()}
        wait_until(lambda: len(ran()) >= sent, 60)
        lost = sent - len(ran())
        b.stop()
    return [
        ("cut", f"reports sent ({rate}/s), cuts", "", f"{sent}, {cuts}", cuts > 0),
        ("cut", "reports lost per cut", "0", round(lost / max(cuts, 1), 2), lost == 0),
    ]


def run_big(size=16 << 20):
    with run_dir() as d:
        d = Path(d)
        b = Bridge(d, worker="exit 0\n")
        b.up()
        b.broker.pub("upload/big", "small")            # one report of the usual kind
        wait_until(lambda: "exit with 0" in b.q.output(), 10)
        floor = rss_kib(b.pid, "VmHWM")
        big = d / "big"
        big.write_bytes(b"x" * size)
        subprocess.run(["mosquitto_pub", "-p", str(b.broker.port), "-u", "test", "-P", "test",
                        "-q", "1", "-t", "upload/big", "-f", str(big)], check=True, timeout=120)
        b.broker.pub("upload/big", "after")
        wait_until(lambda: b.q.output().count("exit with 0") >= 2, 30)
        peak = rss_kib(b.pid, "VmHWM")
        b.stop()
    return [
        ("big", "daemon peak RSS KiB before (floor)", "", floor, True),
        ("big", f"daemon peak RSS KiB, {size >> 20} MiB report", f"< {RSS_LIMIT_KIB}", peak,
         peak < RSS_LIMIT_KIB),
        ("big", "ratio peak/floor", "<= 1.1", round(peak / floor, 2), peak / floor <= 1.1),
    ]


FLEET_PASSWORD = "fleet"
FLEET_WORKER = 'sleep 0.1; echo t/f; echo "$2"\n'


def start_group(d, broker, names, extra=()):
    """Bridges of the group "bench" on `broker`, each in a sandbox of its own."""
    secret = d / "password"
    secret.write_text(FLEET_PASSWORD + "\n")
    secret.chmod(0o600)
    bridges = []
    for name in names:
        sb = Sandbox(d / name)
        sb.set_quilapi(FLEET_WORKER)
        argv = sb.wrap([QUILAC, "-S", "-l", "2", "-b", "127.0.0.1", "-p", broker.port,
                        "-i", name, "-P", secret, "-g", "bench", *extra])
        bridges.append(Proc(argv, d / f"{name}.log"))
    for q in bridges:
        q.wait_output("subscribed (mid: 6)", timeout=30)
    return bridges


def group_rate(names, n):
    with run_dir() as d:
        d = Path(d)
        broker = Broker(d, names, password_override=FLEET_PASSWORD).start()
        bridges = start_group(d, broker, names, ["-w", "4"])
        log = d / "f.log"
        sub = broker.sub("t/f", log, count=n, timeout=600)
        start = time.monotonic()
        broker.pub_lines("upload/f", [f"m{i}" for i in range(n)], timeout=None)
        sub.p.wait(600)
        rate = n / (time.monotonic() - start)
        for q in bridges:
            q.stop()
        broker.close()
    return rate


def run_fleet(n=400):
    one = group_rate(["b1"], n)
    two = group_rate(["b1", "b2"], n)
    return [
        ("fleet", "one bridge reports/s", "", round(one, 1), True),
        ("fleet", "two bridges reports/s", "", round(two, 1), True),
        timing("fleet", "ratio two/one", ">= 1.8", round(two / one, 2), two / one >= 1.8),
    ]


def run_stop(n=1000):
    with run_dir() as d:
        d = Path(d)
        broker = Broker(d, ["b1", "b2"], password_override=FLEET_PASSWORD).start()
        bridges = start_group(d, broker, ["b1", "b2"])
        log = d / "s.log"
        sub = broker.sub("t/f", log)
        broker.pub_lines("upload/f", [f"m{i}" for i in range(n)], timeout=None)
        wait_until(lambda: len(broker.messages(log)) >= n // 10, 60)
        status = bridges[0].stop(timeout=60)
        wait_until(lambda: len(set(broker.messages(log))) >= n, 300)
        lost = n - len(set(broker.messages(log)))
        sub.stop()
        bridges[1].stop()
        broker.close()
    return [
        ("stop", f"reports lost of {n}, one of two stopped", "0", lost, lost == 0),
        ("stop", "exit status of the stopped bridge", "0", status, status == 0),
    ]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--burst", type=int, default=10000)
    ap.add_argument("--rate", type=int, default=2000)
    ap.add_argument("--only", choices=["burst", "rate", "flood", "hole", "overload", "restart",
                                       "cut", "big", "fleet", "stop"])
    a = ap.parse_args()

    runs = {"burst": lambda: run_burst(a.burst), "rate": lambda: run_rate(a.rate),
            "flood": run_flood, "hole": run_hole, "overload": run_overload,
            "restart": run_restart, "cut": run_cut, "big": run_big, "fleet": run_fleet,
            "stop": run_stop}
    rows = []
    for name, run in runs.items():
        if a.only in (None, name):
            rows += run()

    print(f"{'run':6} {'figure':40} {'target':>10} {'result':>16}  ok")
    for run, figure, target, result, ok, *timed in rows:
        verdict = "yes" if ok else "NO (a loaded machine?)" if timed else "NO"
        print(f"{run:6} {figure:40} {str(target):>10} {str(result):>16}  {verdict}")
    needed = subprocess.run(["readelf", "-d", str(QUILAC)], capture_output=True,
                            text=True).stdout
    libs = [l.split("[")[1].rstrip("]") for l in needed.splitlines() if "(NEEDED)" in l]
    print(f"quilac NEEDED: {', '.join(libs)}")
    return 0 if all(r[4] for r in rows if len(r) == 5) else 1


if __name__ == "__main__":
    # Whatever a failed or interrupted run leaves behind carries the tag.
    tag = ProcessTag()
    tag.apply()
    try:
        sys.exit(main())
    finally:
        tag.kill_all()
