import shutil
import subprocess

import pytest

import vorlaken


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
def test_init_entry_point_is_the_only_exported_symbol():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", vorlaken.__file__],
        check=True, capture_output=True, text=True,
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_vorlaken"]
