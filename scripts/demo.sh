#!/usr/bin/env bash
# Installs the package into .venv and shows the summary of the sample torrent that
# examples/make_sample.sh made with mktorrent.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m venv .venv
.venv/bin/pip install --quiet .
exec .venv/bin/vorlaken show examples/sample.torrent
