"""The example tour is the project's main job: it must keep running end to end."""

import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_tour_runs_to_the_end():
    env = dict(os.environ)
    env.pop("VESK_CONFIG", None)
    out = subprocess.run([sys.executable, str(ROOT / "examples" / "tour.py")], env=env,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    lines = out.stdout.splitlines()
    for number in range(1, 12):
        assert any(line.startswith(f"{number:>2}. ") for line in lines), number
    assert "cannot write outside the workspace" in out.stdout
    assert "shelfstats says: {'count': 5" in out.stdout
    assert "the scratch copy's items.py now has no TODO" in out.stdout
    assert "client: resource vesk://workspace/report.txt: 2 items, 7.70 EUR" in out.stdout
    assert "client: client done" in out.stdout
    # The MCP step ends with the address of its workspace's web view.
    assert re.search(r"^    http://127\.0\.0\.1:\d+/ui/#/w/[\w-]{32}$", out.stdout, re.M)
    assert lines[-1].startswith("tour complete")
