"""The README's demo walks through every step of the system's job."""
import subprocess
import sys
from pathlib import Path

from harness import SLOWDOWN

ROOT = Path(__file__).resolve().parents[2]


def test_demo_passes_every_step():
    r = subprocess.run([sys.executable, str(ROOT / "scripts/demo.py")], capture_output=True,
                       text=True, timeout=180 * SLOWDOWN)
    assert r.returncode == 0, r.stdout + r.stderr
    for n in range(1, 8):
        assert f"\n[{n}] " in r.stdout
    assert r.stdout.rstrip().endswith("All steps done; everything is cleaned up.")
