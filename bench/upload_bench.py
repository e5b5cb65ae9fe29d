#!/usr/bin/python3
"""End-to-end upload time for a 64 MiB body through a pipe, against the
no-parse floor (read into an unlinked temporary file, copy to the target),
and the peak resident memory of upload-firmware for 1 MiB and 64 MiB uploads.

Run as root after building (scripts/bench does both): bench/upload_bench.py"""
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/system"))
os.environ.setdefault("QUIL_BUILD_DIR", str(ROOT / "build"))

from harness import BUILD, UploadRoot, upload_form  # noqa: E402

CT = "multipart/form-data; boundary=XyZb0undary"


def timed_run(argv, body_path, env):
    """Runs argv with the body file on a pipe; returns (seconds, peak RSS KiB)."""
    with open(body_path, "rb") as body:
        start = time.monotonic()
        feeder = subprocess.Popen(["cat"], stdin=body, stdout=subprocess.PIPE)
        p = subprocess.run([str(BUILD / "bench/peak_rss"), *map(str, argv)],
                           stdin=feeder.stdout, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True, env=env)
        elapsed = time.monotonic() - start
        feeder.stdout.close()
        feeder.wait()
    if p.returncode != 0:
        raise SystemExit(f"{argv} failed: {p.stderr}")
    return elapsed, int(p.stderr.split()[-1])


def best(n, f):
    runs = [f() for _ in range(n)]
    return min(r[0] for r in runs), max(r[1] for r in runs)


def main():
    with tempfile.TemporaryDirectory(prefix="quilbench.", dir="/var/tmp") as d:
        d = Path(d)
        root = UploadRoot(d)
        env = {"PATH": os.environ["PATH"], "CONTENT_TYPE": CT}
        bodies = {}
        for mib in (1, 64):
            bodies[mib] = d / f"body-{mib}"
            bodies[mib].write_bytes(upload_form(os.urandom(mib << 20)))

        # The namespace's /tmp is d/tmp; the timed programs run inside it, and
        # peak_rss sits between the wrapper and the program it measures.
        upload = root.wrap([BUILD / "bench/peak_rss", BUILD / "upload/upload-firmware"])
        floor = root.wrap([BUILD / "bench/peak_rss", BUILD / "bench/upload_floor",
                           "/tmp/upload/floor.bin"])
        t_up, rss64 = best(3, lambda: timed_run(upload, bodies[64], env))
        stored = (root.tmp / "upload/firmware.bin").stat().st_size
        t_floor, _ = best(3, lambda: timed_run(floor, bodies[64], env))
        _, rss1 = best(1, lambda: timed_run(upload, bodies[1], env))

    print(f"64 MiB upload through a pipe: upload-firmware {t_up * 1000:.0f} ms, "
          f"no-parse floor {t_floor * 1000:.0f} ms, ratio {t_up / t_floor:.2f}")
    print(f"throughput: {64 / t_up:.0f} MiB/s (floor {64 / t_floor:.0f} MiB/s); stored {stored} bytes")
    print(f"peak RSS of upload-firmware: "
          f"1 MiB upload {rss1} KiB, 64 MiB upload {rss64} KiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
