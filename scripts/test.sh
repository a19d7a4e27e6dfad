#!/usr/bin/env bash
# Installs everything the checks need (Debian packages through apt-get when missing, Python
# packages into virtual environments) and runs them all: the test suite against the built
# wheel, the same suite under AddressSanitizer and UndefinedBehaviorSanitizer and under the
# debug interpreter's reference counting, and a short fuzzing run of every fuzz target.
# Extra arguments go to the first pytest run.
set -euo pipefail
cd "$(dirname "$0")/.."
stage() {
    local name="$1" start=$SECONDS
    shift
    echo "== $name"
    "$@"
    echo "== $name: $((SECONDS - start)) s"
}
stage "system packages" bash scripts/ci/system-packages.sh
stage "tests against the wheel" bash scripts/ci/main-tests.sh "$@"
stage "sanitizers" bash scripts/ci/sanitizer-tests.sh
stage "reference leaks" bash scripts/ci/refleak-tests.sh
stage "fuzzing" bash fuzz/smoke.sh
