#!/usr/bin/env bash
# Installs the module with its test dependencies into .venv and runs the test suite.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/../.."
python3 -m venv .venv
.venv/bin/pip install --quiet ".[test]"
.venv/bin/python -m pytest "$@"
