"""The fuzz targets' checks, run on their generated seeds and on every input a fuzzer has
found, so that the comparison with the model runs with every test run, sanitizers and the
reference-leak run included."""

import importlib
import subprocess
import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
TARGETS = ["bdecode", "readers", "encode"]


@pytest.fixture(scope="module")
def seeds(tmp_path_factory):
    out = tmp_path_factory.mktemp("seeds")
    subprocess.run([sys.executable, str(FUZZ / "make_seeds.py"), str(out)], check=True)
    return out


@pytest.fixture(scope="module")
def checks():
    sys.path.insert(0, str(FUZZ / "targets"))
    try:
        yield {target: importlib.import_module("fuzz_" + target).check for target in TARGETS}
    finally:
        sys.path.remove(str(FUZZ / "targets"))


@pytest.mark.parametrize("target", TARGETS)
def test_seeds_agree_with_the_model(checks, seeds, target):
    inputs = sorted((seeds / target).iterdir())
    assert inputs
    for path in inputs:
        checks[target](path.read_bytes())


def found_inputs():
    for target in TARGETS:
        for path in sorted((FUZZ / "regressions" / target).glob("*")):
            yield pytest.param(target, path, id=f"{target}-{path.name}")


@pytest.mark.parametrize("target, path", list(found_inputs()))
def test_inputs_the_fuzzers_found(checks, target, path):
    checks[target](path.read_bytes())
