#!/usr/bin/env bash
# Installs the module into .venv and runs a short demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m venv .venv
.venv/bin/pip install --quiet .
exec .venv/bin/python examples/demo.py
