#!/usr/bin/env bash
# Builds the Linux library, starts the virtual board on a pseudo-terminal and
# runs the demo program against it as COM3.
set -euo pipefail
cd "$(dirname "$0")/../.."
bash tools/setup.sh native
cmake --preset native >/dev/null
cmake --build build/native --target tarvelin tarvelin-board tarvelin-demo >/dev/null

out=$(mktemp)
build/native/tarvelin-board >"$out" &
board=$!
trap 'kill "$board" 2>/dev/null; wait "$board" 2>/dev/null; rm -f "$out"' EXIT
for _ in $(seq 100); do
  [ -s "$out" ] && break
  sleep 0.05
done
slave=$(head -n 1 "$out")
[ -n "$slave" ] || { echo "the virtual board did not start" >&2; exit 1; }
echo "virtual board on $slave (COM3)"
TARVELIN_COM3="$slave" build/native/tarvelin-demo 3
