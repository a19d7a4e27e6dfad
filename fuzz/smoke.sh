#!/usr/bin/env bash
# CI's fuzz smoke: every target for a short while, under two minutes of fuzzing in all. A
# finding fails the run and prints the fuzzer's whole report.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
for target in bdecode readers encode; do
    echo "fuzz smoke: $target"
    if ! bash "$here/run.sh" "$target" 35 >"$log" 2>&1; then
        grep -v '^INFO:' "$log" | tail -n 80 >&2
        echo "fuzz smoke: $target failed" >&2
        exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units)' "$log" || true
    tr '\r' '\n' <"$log" | grep -E '[[:space:]]DONE[[:space:]]' | tail -n 1 || true
done
