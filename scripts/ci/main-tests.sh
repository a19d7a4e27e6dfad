#!/usr/bin/env bash
# For one interpreter: builds the sdist and, from it, the wheel; installs the wheel (not the source
# tree) with its test dependencies into a fresh virtual environment and runs the test suite
# against it; then checks the stubs the wheel ships with mypy, pyright and stubtest, from an
# environment that holds nothing but the wheel.
#
#     main-tests.sh PYTHON [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/../.."

source scripts/ci/quietly.sh

python="$1"
shift
version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
venvs=".venvs/$version"
out="dist/$version"

"$python" -m venv --clear "$venvs/build"
quietly "$venvs/build/bin/pip" install build
rm -rf "$out"
# From the sdist: a file the sdist lacks fails the wheel's build.
quietly "$venvs/build/bin/python" -m build --outdir "$out" .
sdists=("$out"/vorlaken-*.tar.gz)
wheels=("$out"/vorlaken-*.whl)
[ ${#sdists[@]} -eq 1 ] && [ ${#wheels[@]} -eq 1 ] || { echo "expected one sdist and one wheel in $out/" >&2; exit 1; }
wheel="$PWD/${wheels[0]}"

"$python" -m venv --clear "$venvs/test"
quietly "$venvs/test/bin/pip" install "$wheel[test]"
# The environment's pytest rather than python -m pytest, which would put the work tree on sys.path.
export VORLAKEN_REQUIRE_CLIENTS=1 VORLAKEN_WHEEL="$wheel"
"$venvs/test/bin/pytest" "$@"

"$python" -m venv --clear "$venvs/typing"
quietly "$venvs/typing/bin/pip" install "$wheel"
"$python" -m venv --clear "$venvs/typecheck"
quietly "$venvs/typecheck/bin/pip" install "$wheel" mypy "pyright[nodejs]"
"$venvs/typecheck/bin/python" tests/typing/check.py "$PWD/$venvs/typing/bin/python"
