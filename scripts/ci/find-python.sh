# Sourced by the stage scripts. find_python X.Y prints the path of a working CPython X.Y with its
# development headers, or nothing. pyenv's own installs come first, then whatever is on PATH. A
# pyenv shim of a version that is not the selected one fails when run, so every candidate is run
# once, and the interpreter's own path is what gets printed.
find_python() {
    local version="$1" candidate
    local candidates=()
    if command -v pyenv >/dev/null 2>&1; then
        local root
        root="$(pyenv root)"
        # The newest patch release first.
        while IFS= read -r candidate; do
            candidates+=("$candidate")
        done < <(ls -d "$root/versions/$version".*/bin/"python$version" 2>/dev/null | sort -rV)
    fi
    candidate="$(command -v "python$version" 2>/dev/null || true)"
    [ -n "$candidate" ] && candidates+=("$candidate")
    for candidate in "${candidates[@]}"; do
        "$candidate" - "$version" >/dev/null 2>&1 <<'PY' || continue
import os, sys, sysconfig
want = tuple(map(int, sys.argv[1].split(".")))
assert sys.implementation.name == "cpython" and sys.version_info[:2] == want
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
        "$candidate" -c 'import sys; print(sys.executable)'
        return 0
    done
    return 0
}
