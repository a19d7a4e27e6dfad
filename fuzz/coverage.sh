#!/usr/bin/env bash
# Line and branch coverage of the module's sources reached by a target's corpus:
#
#     bash fuzz/coverage.sh bdecode|readers|encode
#
# Runs every input of build/fuzz/corpus/TARGET and the seeds once through a build that records
# source-based coverage, and prints llvm-cov's report per source file.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
target="$1"
fuzz_build="${VORLAKEN_FUZZ_BUILD:-$root/build/fuzz}"
build="$fuzz_build-coverage"
python="${PYTHON:-$(command -v python3)}"
PATH="$PATH:$root/.venv/bin"
llvm_suffix="$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/-\1/p')"

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DPython_EXECUTABLE="$python" \
        -DFUZZ_COVERAGE=ON >/dev/null
fi
cmake --build "$build" --target "fuzz_$target" -j 2 >/dev/null
"$python" "$here/make_seeds.py" "$fuzz_build/seeds"
mkdir -p "$fuzz_build/corpus/$target"
rm -f "$build/$target".prof*
LLVM_PROFILE_FILE="$build/$target.profraw" ASAN_OPTIONS=detect_leaks=0 \
    "$build/fuzz_$target" -runs=0 "$fuzz_build/corpus/$target" "$fuzz_build/seeds/$target" \
    >/dev/null 2>&1
"llvm-profdata$llvm_suffix" merge -o "$build/$target.profdata" "$build/$target.profraw"
"llvm-cov$llvm_suffix" report "$build/fuzz_$target" -instr-profile="$build/$target.profdata" \
    -ignore-filename-regex='fuzz/|/usr/|python3' "$root/module" "$root/decoder" "$root/encoder"
