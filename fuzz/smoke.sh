#!/usr/bin/env bash
# CI's fuzz smoke: every target for a short while, under two minutes of fuzzing in all.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
for target in bdecode readers encode; do
    echo "fuzz smoke: $target"
    bash "$here/run.sh" "$target" 35 2>&1 | grep -E '^(stat::|Done|==|SUMMARY|fuzz harness)' || true
    [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzz smoke: $target failed" >&2; exit 1; }
done
