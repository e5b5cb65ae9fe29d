#!/usr/bin/python3
"""quilac's session over TLS against a plain one: the time from starting
quilac, and from its connect call (the log line just before it), to the broker's
acknowledgement ("connect to mqtt server ok"), median of N starts each,
alternating, against one broker with a plain
and a TLS listener (EC P-256 certificates, a client certificate, a password
file). The plain start is the floor; the figure is TLS against it.

Run as root after building (scripts/bench does both):
    bench/tls_bench.py [--runs N]"""
import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/system"))
os.environ.setdefault("QUIL_BUILD_DIR", str(ROOT / "build"))

from harness import (QUILAC, Broker, Proc, ProcessTag, Sandbox, free_port,  # noqa: E402
                     make_certs, tls_listener)

CLIENT_ID = "AC-BENCH"
PASSWORD = "bench password"


def session_time(sb, argv, log):
    """Seconds from the start to the acknowledgement, and from the connect
    call (its log line, just before) to the acknowledgement."""
    log.unlink(missing_ok=True)
    start = time.monotonic()
    called = None
    q = Proc(sb.wrap(argv), log)
    try:
        while True:
            out = q.output()
            if called is None and "connect to mqtt server, " in out:
                called = time.monotonic()
            if "connect to mqtt server ok" in out:
                end = time.monotonic()
                return end - start, end - (called or end)
            if time.monotonic() - start > 60:     # a loaded machine is slow, not broken
                raise RuntimeError(f"no session: {out}")
            time.sleep(0.0002)
    finally:
        q.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=25)
    args = ap.parse_args()
    tag = ProcessTag()
    tag.apply()
    with tempfile.TemporaryDirectory(prefix="quiltls.") as d:
        d = Path(d)
        certs = make_certs(d / "certs")
        broker = Broker(d, [CLIENT_ID], password_override=PASSWORD)
        tls_port = free_port()
        broker.conf.write_text(broker.conf.read_text() + tls_listener(certs, tls_port))
        broker.start()
        password = d / "password"
        password.write_text(PASSWORD + "\n")
        password.chmod(0o600)
        sb = Sandbox(d / "sb")
        common = [QUILAC, "-S", "-l", "2", "-b", "127.0.0.1", "-i", CLIENT_ID, "-P", password]
        plain = common + ["-p", broker.port]
        tls = common + ["-p", tls_port, "-C", certs / "ca.crt", "-E", certs / "client.crt",
                        "-K", certs / "client.key"]
        times = {"plain": [], "tls": []}
        try:
            for _ in range(args.runs):
                times["plain"].append(session_time(sb, plain, d / "q.log"))
                times["tls"].append(session_time(sb, tls, d / "q.log"))
        finally:
            broker.stop()
            tag.kill_all()
    floor, figure = (statistics.median(t[0] for t in times[k]) * 1000 for k in ("plain", "tls"))
    print(f"tls    session up, median of {args.runs}: plain {floor:.1f} ms (floor), "
          f"TLS {figure:.1f} ms, +{figure - floor:.1f} ms, ratio {figure / floor:.2f}")
    plain, tls = (statistics.median(t[1] for t in times[k]) * 1000 for k in ("plain", "tls"))
    print(f"tls    of which from the connect call on: TLS {tls:.1f} ms, plain {plain:.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
