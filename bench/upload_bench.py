#!/usr/bin/python3
"""End-to-end upload time for a 60 MiB file through a pipe, against the
no-parse floor (read into an unnamed file, then named as the target) in the
same run, and the peak resident memory of upload-firmware for 1 MiB and
60 MiB uploads. /tmp/upload is a tmpfs, as on the router. The uploads log
in with the stand-in session service on a bus of their own; the session
check's cost is the time of a 1 KiB upload with a valid session less that
of one whose id is refused before any question on the bus.

Run as root after building (scripts/bench does both): bench/upload_bench.py
[--compare OTHER_UPLOAD_FIRMWARE] also times another build of the program
against the same floor (e.g. that of an older commit)."""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/system"))
os.environ.setdefault("QUIL_BUILD_DIR", str(ROOT / "build"))

from harness import BUILD, UploadRoot, reply, upload_form  # noqa: E402

CT = "multipart/form-data; boundary=XyZb0undary"
MIB = 60


def timed_run(argv, body_path, env, expect):
    """Runs argv with the body file on a pipe; returns (seconds, peak RSS KiB)."""
    with open(body_path, "rb") as body:
        start = time.monotonic()
        feeder = subprocess.Popen(["cat"], stdin=body, stdout=subprocess.PIPE)
        p = subprocess.run([str(BUILD / "bench/peak_rss"), *map(str, argv)],
                           stdin=feeder.stdout, capture_output=True, text=False, env=env)
        elapsed = time.monotonic() - start
        feeder.stdout.close()
        feeder.wait()
    if p.returncode != 0 or p.stdout != expect:
        raise SystemExit(f"{argv} failed: {p.stdout!r} {p.stderr!r}")
    return elapsed, int(p.stderr.split()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--compare", type=Path, help="another upload-firmware to time")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(prefix="quilbench.", dir="/var/tmp") as d:
        d = Path(d)
        root = UploadRoot(d)
        try:
            root.setup.append("mount -t tmpfs -o size=512m,mode=0700 tmpfs /tmp/upload")
            env = {"PATH": os.environ["PATH"], "CONTENT_TYPE": CT}
            bodies = {}
            for mib in (1, MIB):
                bodies[mib] = d / f"body-{mib}"
                bodies[mib].write_bytes(upload_form(os.urandom(mib << 20)))

            # The namespace's /tmp is d/tmp; the timed programs run inside it, and
            # peak_rss sits between the wrapper and the program it measures.
            def upload(program):
                argv = root.wrap([BUILD / "bench/peak_rss", program])
                return lambda mib: timed_run(argv, bodies[mib], env, reply(0))

            floor_argv = root.wrap([BUILD / "bench/peak_rss", BUILD / "bench/upload_floor",
                                    "/tmp/upload/floor.bin"])
            programs = {"upload-firmware": upload(BUILD / "upload/upload-firmware")}
            if args.compare:
                (d / "compare").mkdir()
                copy = d / "compare" / "upload-firmware"
                copy.write_bytes(args.compare.read_bytes())
                copy.chmod(0o755)
                programs[f"compare ({args.compare})"] = upload(copy)

            # Interleaved, so that every program meets the same load on the machine.
            runs = {name: [] for name in ["floor", *programs]}
            for _ in range(9):
                runs["floor"].append(timed_run(floor_argv, bodies[MIB], env, b""))
                for name, run in programs.items():
                    runs[name].append(run(MIB))
            t_floor = min(t for t, _ in runs["floor"])
            small = d / "body-small"
            small.write_bytes(upload_form(os.urandom(1024)))
            malformed = d / "body-malformed"
            malformed.write_bytes(upload_form(os.urandom(1024), session=b"not-a-session-id"))
            argv = root.wrap([BUILD / "bench/peak_rss", BUILD / "upload/upload-firmware"])
            checked, refused = [], []
            for _ in range(40):
                checked.append(timed_run(argv, small, env, reply(0))[0])
                refused.append(timed_run(argv, malformed, env, reply(-1006))[0])
            t_checked, t_refused = statistics.median(checked), statistics.median(refused)
            print(f"1 KiB upload: {t_checked * 1000:.2f} ms with the session check, "
                  f"{t_refused * 1000:.2f} ms refused before it: "
                  f"the check costs about {(t_checked - t_refused) * 1000:.2f} ms (medians of 40)")

            for name, run in programs.items():
                t = min(t for t, _ in runs[name])
                rss_big = max(rss for _, rss in runs[name])
                _, rss1 = run(1)
                print(f"{MIB} MiB upload through a pipe: {name} {t * 1000:.0f} ms, "
                      f"no-parse floor {t_floor * 1000:.0f} ms, ratio {t / t_floor:.2f}")
                print(f"  throughput {MIB / t:.0f} MiB/s (floor {MIB / t_floor:.0f} MiB/s); "
                      f"peak RSS {rss1} KiB (1 MiB), {rss_big} KiB ({MIB} MiB)")
        finally:
            root.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
