"""The README's examples: its Python sessions must run as shown, and so must its summary of the
sample torrent."""

import re
import subprocess
import sys
from pathlib import Path


REPO_ROOT = Path(__file__).resolve().parent.parent
README = REPO_ROOT / "README.md"


# The README shows what 3.12 and later print. Before 3.12 an OrderedDict's repr was a list of
# pairs; these are the same examples' outputs as 3.11 prints them.
BEFORE_3_12 = {
    "OrderedDict({b'foo': [1]})": "OrderedDict([(b'foo', [1])])",
    "OrderedDict({b'pi': 3.25, b'small': [1e-05, 2]})":
        "OrderedDict([(b'pi', 3.25), (b'small', [1e-05, 2])])",
}


def test_python_examples_run_as_shown(tmp_path):
    text = README.read_text()
    for shown, before in BEFORE_3_12.items():
        assert text.count("\n" + shown + "\n") == 1, shown
        if sys.version_info < (3, 12):
            text = text.replace("\n" + shown + "\n", "\n" + before + "\n")
    examples = tmp_path / "README.md"
    examples.write_text(text)
    # In a child interpreter: the examples change the module's tables as they go.
    proc = subprocess.run(
        [sys.executable, "-m", "doctest", str(examples)], cwd=tmp_path, capture_output=True,
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
