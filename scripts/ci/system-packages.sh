#!/usr/bin/env bash
# Installs the Debian packages the checks use, when any is missing: clang and its sanitizer and
# fuzzer runtimes, the debug interpreter for the reference-leak run, valgrind, and the torrent
# clients whose output the tool is compared with.
set -euo pipefail
packages=(clang libclang-rt-14-dev python3.11-dbg python3.11-dev valgrind mktorrent transmission-cli)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
