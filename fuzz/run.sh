#!/usr/bin/env bash
# Builds the fuzz targets if needed and runs one of them for a number of seconds:
#
#     bash fuzz/run.sh bdecode|readers|encode SECONDS [libFuzzer options...]
#
# The corpus grows in build/fuzz/corpus/TARGET, on top of the generated seeds; inputs that
# fail are written to build/fuzz/findings/TARGET/. Needs clang++ and libFuzzer (Debian's
# clang and libclang-rt-14-dev) and an interpreter with its embedding library.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
target="$1"
seconds="$2"
shift 2
build="${VORLAKEN_FUZZ_BUILD:-$root/build/fuzz}"
python="${PYTHON:-$(command -v python3)}"
PATH="$PATH:$root/.venv/bin"

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DPython_EXECUTABLE="$python" >/dev/null
fi
cmake --build "$build" --target "fuzz_$target" -j 2 >/dev/null

"$python" "$here/make_seeds.py" "$build/seeds"
mkdir -p "$build/corpus/$target" "$build/findings/$target"

# Leak checking stays on: an object the module leaks is unreachable memory at the end of
# an input. The interpreter's own caches stay reachable.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_stack_use_after_return=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
exec "$build/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target/" "$@" \
    "$build/corpus/$target" "$build/seeds/$target"
