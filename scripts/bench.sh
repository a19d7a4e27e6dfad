#!/usr/bin/env bash
# Runs scripts/bench.py under CPython 3.11, 3.12 and 3.13, each in a virtual environment of its
# own (.venv-bench-3.XX in the repository) that holds the project as `pip install .` builds it
# and the codecs of scripts/bench-requirements.txt. Each run's figures go to
# bench-results/3.XX-N.json; with --runs N above 1 the per-run reports go beside them and the
# figures combined over the runs are printed instead.
#
# Usage: bash scripts/bench.sh [--runs N] [--python 3.XX[,3.YY]] [--fresh] [bench.py options]
#   --runs N     run the benchmark N times per interpreter (default 1)
#   --python     only these interpreters (default 3.11,3.12,3.13)
#   --fresh      recreate the virtual environments rather than reuse them
# Other options (--quick, --cases NAME,...) go to bench.py.
#
# For 3.11 it uses Debian's /usr/bin/python3.11 with the system site-packages, the only
# interpreter that Debian's python3-libtorrent loads into; it installs that package (as root,
# through apt-get) when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ci/quietly.sh
source scripts/ci/find-python.sh

runs=1
versions=3.11,3.12,3.13
fresh=0
pass=()
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --runs=*) runs="${1#*=}"; shift ;;
        --python) versions="$2"; shift 2 ;;
        --python=*) versions="${1#*=}"; shift ;;
        --fresh) fresh=1; shift ;;
        *) pass+=("$1"); shift ;;
    esac
done
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "--runs needs a positive number" >&2; exit 2; }

# Makes python3-libtorrent (and the headers the module builds against) present for Debian's
# python3.11 when we may install packages; says why not otherwise.
debian_libtorrent() {
    [ -x /usr/bin/python3.11 ] || return 1
    local need=()
    for p in python3-libtorrent python3.11-dev python3.11-venv; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
    done
    if [ ${#need[@]} -gt 0 ]; then
        if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
            echo "3.11: cannot install ${need[*]} (needs root and apt-get)" >&2
            return 1
        fi
        echo "3.11: installing ${need[*]}" >&2
        quietly apt-get update -qq
        quietly env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends "${need[@]}" || return 1
    fi
    /usr/bin/python3.11 -c "import libtorrent" 2>/dev/null
}

# Reuses the environment when it was made from the same interpreter with the same site setting.
make_venv() {
    local py="$1" venv="$2" system="$3" cfg="$2/pyvenv.cfg"
    local want_version
    want_version=$("$py" -c 'import platform; print(platform.python_version())')
    if [ "$fresh" -eq 0 ] && [ -x "$venv/bin/python" ] && [ -f "$cfg" ] &&
        grep -q "^include-system-site-packages = $system\$" "$cfg" &&
        [ "$("$venv/bin/python" -c 'import platform; print(platform.python_version())' 2>/dev/null)" = "$want_version" ] &&
        [ "$(readlink -f "$venv/bin/python")" = "$(readlink -f "$py")" ]; then
        return
    fi
    local flags=(--clear)
    [ "$system" = true ] && flags+=(--system-site-packages)
    "$py" -m venv "${flags[@]}" "$venv"
}

results=bench-results
mkdir -p "$results"
missing=()
failed=()
all_json=()
IFS=, read -r -a wanted <<<"$versions"
for v in "${wanted[@]}"; do
    echo "=== CPython $v"
    system=false
    if [ "$v" = 3.11 ] && debian_libtorrent; then
        py=/usr/bin/python3.11
        system=true
    else
        [ "$v" = 3.11 ] && echo "3.11: Debian's python3.11 with python3-libtorrent is not available; libtorrent is not measured"
        py=$(find_python "$v")
        if [ -z "$py" ]; then
            echo "CPython $v: MISSING (neither pyenv nor PATH has python$v); skipped"
            missing+=("$v")
            continue
        fi
    fi
    venv=".venv-bench-$v"
    echo "interpreter: $py; environment: $venv"
    make_venv "$py" "$venv" "$system"
    # A build directory per interpreter keeps the module's build incremental across runs.
    if ! quietly "$venv/bin/pip" install --force-reinstall --no-deps \
        --config-settings "build-dir=build/bench-$v-$system" .; then
        echo "CPython $v: vorlaken did not build; skipped"
        failed+=("$v")
        continue
    fi
    # One codec at a time, so that one that does not build leaves the others measured.
    grep -v -e '^\s*#' -e '^\s*$' scripts/bench-requirements.txt | while read -r req; do
        if ! CFLAGS="-DPY_SSIZE_T_CLEAN ${CFLAGS:-}" quietly "$venv/bin/pip" install \
            --no-cache-dir --no-binary better-bencode "$req"; then
            echo "CPython $v: $req did not install; it is reported as not measured"
        fi
    done
    rm -f "$results/$v"-*.json "$results/$v"-*.txt
    files=()
    for ((i = 1; i <= runs; i++)); do
        json="$results/$v-$i.json"
        if [ "$runs" -eq 1 ]; then
            "$venv/bin/python" scripts/bench.py --json "$json" "${pass[@]}" || { failed+=("$v"); continue; }
        else
            echo "run $i of $runs"
            "$venv/bin/python" scripts/bench.py --json "$json" "${pass[@]}" \
                >"$results/$v-$i.txt" 2>&1 || { tail -n 5 "$results/$v-$i.txt" >&2; failed+=("$v"); continue; }
        fi
        files+=("$json")
    done
    all_json+=("${files[@]}")
    if [ "$runs" -gt 1 ] && [ ${#files[@]} -gt 0 ]; then
        "$venv/bin/python" scripts/bench.py --combine "${files[@]}"
    fi
    echo
done

echo "=== done: results in $results/"
[ ${#missing[@]} -eq 0 ] || echo "missing interpreters (not measured): ${missing[*]}"
[ ${#failed[@]} -eq 0 ] || { echo "failed: ${failed[*]}" >&2; exit 1; }
