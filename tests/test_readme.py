"""The README's examples: its Python sessions must run as shown, and so must its summary of the
sample torrent."""

import re
import subprocess
import sys
from pathlib import Path


REPO_ROOT = Path(__file__).resolve().parent.parent
README = REPO_ROOT / "README.md"


def test_python_examples_run_as_shown(tmp_path):
    # In a child interpreter: the examples change the module's tables as they go.
    proc = subprocess.run(
        [sys.executable, "-m", "doctest", str(README)], cwd=tmp_path, capture_output=True,
        text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_sample_summary_is_what_show_prints():
    text = README.read_text()
    m = re.search(r"^    \$ vorlaken show examples/sample.torrent\n((?:    .*\n)+)", text, re.M)
    shown = "".join(line[4:] + "\n" for line in m.group(1).splitlines())
    proc = subprocess.run(
        [Path(sys.executable).with_name("vorlaken"), "show", "examples/sample.torrent"],
        cwd=REPO_ROOT, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0
    assert proc.stdout == shown
