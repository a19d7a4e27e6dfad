#!/usr/bin/env bash
# Builds the sdist and the wheel, installs the wheel (not the source tree) with its test
# dependencies into a fresh .venv and runs the test suite against it; then checks the stubs the
# wheel ships with mypy and pyright, from an environment that holds nothing but the wheel.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/../.."

source scripts/ci/quietly.sh

python3 -m venv --clear .venv-build
quietly .venv-build/bin/pip install build
rm -rf dist
# From the sdist: a file the sdist lacks fails the wheel's build.
quietly .venv-build/bin/python -m build --outdir dist .
sdists=(dist/vorlaken-*.tar.gz)
wheels=(dist/vorlaken-*.whl)
[ ${#sdists[@]} -eq 1 ] && [ ${#wheels[@]} -eq 1 ] || { echo "expected one sdist and one wheel in dist/" >&2; exit 1; }
wheel="$PWD/${wheels[0]}"

python3 -m venv --clear .venv
quietly .venv/bin/pip install "$wheel[test]"
# .venv/bin/pytest rather than python -m pytest, which would put the work tree on sys.path.
export VORLAKEN_REQUIRE_CLIENTS=1 VORLAKEN_WHEEL="$wheel"
.venv/bin/pytest "$@"

python3 -m venv --clear .venv-typing
quietly .venv-typing/bin/pip install "$wheel"
python3 -m venv --clear .venv-typecheck
quietly .venv-typecheck/bin/pip install "$wheel" mypy "pyright[nodejs]"
.venv-typecheck/bin/python tests/typing/check.py "$PWD/.venv-typing/bin/python"
