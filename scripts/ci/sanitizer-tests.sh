#!/usr/bin/env bash
# The whole test suite against a build instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer. The interpreter is not instrumented, so the gcc runtimes are
# preloaded; the raw allocator puts every object on its own under ASan's eye. Any report
# aborts the process that makes it, which fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/ci/quietly.sh
python3 -m venv .venv-asan
quietly .venv-asan/bin/pip install ".[test]"
quietly .venv-asan/bin/pip install --force-reinstall --no-deps . -Ccmake.define.VORLAKEN_SANITIZE=ON -Ccmake.define.VORLAKEN_LTO=OFF
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONMALLOC=malloc \
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    .venv-asan/bin/pytest -q -p no:cacheprovider "$@"
