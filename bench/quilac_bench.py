#!/usr/bin/python3
"""Bridged reports per second, end to end, against the raw rate at which the
same worker can be spawned and read; plus quilac's size, libraries and memory.

Run as root after building (scripts/bench does both):
    bench/quilac_bench.py [--reports N]"""
import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/system"))
os.environ.setdefault("QUIL_BUILD_DIR", str(ROOT / "build"))

from harness import BUILD, CLIENT_ID, QUILAC, Broker, Proc, ProcessTag, Sandbox  # noqa: E402

WORKER = 'echo t/bench; echo "A $2"; echo "B $2"\n'


def rss_kib(pid, field="VmRSS"):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def stripped_size(path):
    with tempfile.NamedTemporaryFile() as t:
        subprocess.run(["strip", "-o", t.name, str(path)], check=True)
        return os.path.getsize(t.name)


def needed(path):
    out = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True).stdout
    return [l.split("[")[1].rstrip("]") for l in out.splitlines() if "(NEEDED)" in l]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reports", type=int, default=3000)
    n = ap.parse_args().reports

    with tempfile.TemporaryDirectory(prefix="quilbench.") as d:
        d = Path(d)
        sb = Sandbox(d)
        sb.set_quilapi(WORKER)
        sb.start_bus()
        broker = Broker(d, [CLIENT_ID]).start()
        q = Proc(sb.wrap([QUILAC, "-S", "-l", "2", "-b", "127.0.0.1", "-p", broker.port,
                          "-i", CLIENT_ID]), d / "quilac.log")
        q.wait_output("subscribed (mid: 3)")
        time.sleep(0.5)
        idle = rss_kib(q.pid)

        log = d / "replies.log"
        sub = broker.sub("t/bench", log, count=2 * n, timeout=600)
        peak = [idle]
        stop = threading.Event()

        def sample():
            while not stop.is_set():
                peak[0] = max(peak[0], rss_kib(q.pid))
                time.sleep(0.01)

        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        start = time.monotonic()
        subprocess.run(["mosquitto_pub", "-p", str(broker.port), "-u", "test", "-P", "test",
                        "-q", "1", "-t", "upload/bench", "-l"],
                       input="".join(f"m{i}\n" for i in range(n)), text=True, check=True)
        sub.p.wait(600)
        elapsed = time.monotonic() - start
        stop.set()
        sampler.join()
        replies = len(broker.messages(log))

        q.stop()
        broker.stop()
        sb.bus.stop()

        impl = d / "quilapi-impl"
        raw = float(subprocess.run([str(BUILD / "bench/spawn_rate"), str(impl), str(n)],
                                   capture_output=True, text=True, check=True).stdout)

    bridged = n / elapsed
    print(f"reports: {n}, replies received: {replies} (expected {2 * n})")
    print(f"bridged: {bridged:.0f} reports/s end to end ({elapsed:.2f} s)")
    print(f"raw spawn+read of the same worker: {raw:.0f} /s")
    print(f"ratio bridged/raw: {bridged / raw:.2f}")
    print(f"quilac stripped size: {stripped_size(QUILAC)} bytes")
    print(f"quilac NEEDED: {', '.join(needed(QUILAC))}")
    print(f"quilac RSS idle: {idle} KiB, peak under load: {peak[0]} KiB")
    return 0 if replies == 2 * n else 1


if __name__ == "__main__":
    # Whatever a failed or interrupted run leaves behind carries the tag.
    tag = ProcessTag()
    tag.apply()
    try:
        sys.exit(main())
    finally:
        tag.kill_all()
