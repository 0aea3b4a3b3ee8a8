#!/usr/bin/env bash
# Builds the Linux library and runs the demo program against the virtual board
# as COM3 (tarvelin-board starts the board, runs the demo, stops the board).
set -euo pipefail
cd "$(dirname "$0")/../.."
bash tools/setup.sh native
cmake --preset native >/dev/null
cmake --build build/native --target tarvelin tarvelin-board tarvelin-demo >/dev/null

echo "virtual board as COM3"
exec build/native/tarvelin-board --com 3 -- build/native/tarvelin-demo 3
