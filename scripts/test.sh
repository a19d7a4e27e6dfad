#!/usr/bin/env bash
# Installs everything the checks need (Debian packages through apt-get when missing, Python
# packages into virtual environments) and runs them all. Extra arguments go to the main
# pytest run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/ci/system-packages.sh
bash scripts/ci/main-tests.sh "$@"
