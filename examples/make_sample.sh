#!/usr/bin/env bash
# Regenerates examples/sample.torrent with mktorrent, over content this script writes itself.
# The content is the same on every run, so the info-hash is too; only the creation date (which
# lies outside the info dictionary) changes.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root="$work/vorlaken-sample"
mkdir -p "$root/docs" "$root/data"
printf 'A sample torrent for the vorlaken command-line tool.\n' >"$root/README.txt"
printf 'Integers: i42e\nByte strings: 4:spam\nLists: l4:spami42ee\nDictionaries: d3:bar4:spam3:fooi42ee\n' \
    >"$root/docs/format.txt"
# 40 000 bytes that are not text, so that the torrent spans two 32 KiB pieces.
python3 -c 'import sys; sys.stdout.buffer.write(bytes(i * 7 % 256 for i in range(40000)))' \
    >"$root/data/pattern.bin"
rm -f sample.torrent
mktorrent \
    --piece-length=15 \
    --announce=http://tracker.example.org:6969/announce \
    --announce=udp://backup.example.net:1337/announce \
    --web-seed=https://seed.example.org/files/ \
    --comment="vorlaken sample: three small files" \
    --output=sample.torrent \
    "$root" >/dev/null
echo "wrote $(pwd)/sample.torrent"
