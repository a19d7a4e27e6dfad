#!/usr/bin/env bash
# Installs everything the checks need (Debian packages through apt-get when missing, Python
# packages into virtual environments) and runs them all: the test suite against the wheel built
# for each of CPython 3.11, 3.12 and 3.13, the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer and under the debug interpreter's reference counting, and a short
# fuzzing run of every fuzz target. Extra arguments go to the pytest runs against the wheels.
#
# A machine without one of the three interpreters skips its stage and says so; under CI
# (CI=true) every one of them must be there.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ci/find-python.sh
stage() {
    local name="$1" start=$SECONDS
    shift
    echo "== $name"
    "$@"
    echo "== $name: $((SECONDS - start)) s"
}
stage "system packages" bash scripts/ci/system-packages.sh
for version in 3.11 3.12 3.13; do
    python="$(find_python "$version")"
    if [ -z "$python" ]; then
        echo "== tests on CPython $version: SKIPPED, no CPython $version with its headers found"
        if [ "${CI:-}" = true ]; then
            echo "CI must test every supported interpreter" >&2
            exit 1
        fi
        continue
    fi
    stage "tests on CPython $version ($python)" bash scripts/ci/main-tests.sh "$python" "$@"
done
stage "sanitizers" bash scripts/ci/sanitizer-tests.sh
stage "reference leaks" bash scripts/ci/refleak-tests.sh
stage "fuzzing" bash fuzz/smoke.sh
