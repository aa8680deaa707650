#!/usr/bin/env bash
# fuzz/run on a machine without clang: one line saying what it needs and how
# to get it, exit 1, before any build starts.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BIN=$(mktemp -d)
trap 'rm -rf "$BIN"' EXIT
# Every tool the script uses, but no compiler.
for tool in bash env dirname mktemp rm grep sed mkdir cmake ninja ccache; do
    if path=$(command -v "$tool"); then ln -s "$path" "$BIN/$tool"; fi
done
set +e
out=$(PATH=$BIN NORVANE_BUILD_ROOT=$BIN/build "$BIN/bash" "$ROOT/fuzz/run" 1 2>&1)
status=$?
set -e
expected="fuzz/run: the fuzz targets are built with clang's libFuzzer, and clang is not on the PATH; on Debian: apt-get install clang libclang-rt-dev (or point PATH at a clang of your own)"
if [ $status -ne 1 ] || [ "$out" != "$expected" ]; then
    printf 'fuzz/run without clang: exit %s, said:\n%s\n' "$status" "$out" >&2
    exit 1
fi
[ ! -e "$BIN/build" ] || { echo "fuzz/run started a build without clang" >&2; exit 1; }
echo "fuzz/run without clang: $out"
