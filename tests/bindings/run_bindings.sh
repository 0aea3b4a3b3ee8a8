#!/usr/bin/env bash
# The bindings as their users take them, against the Linux library and the
# virtual board:
#   Python  pip install --no-build-isolation (Debian's setuptools) into a
#           temporary folder, then its unittest tests from that install
#   VB      every Declare of both modules checked against the export table
#   .NET    Tarvelin.cs and a test program compiled with mono's mcs and run
#
#   cmake --preset native && cmake --build build/native
#   bash tests/bindings/run_bindings.sh
#
# Ends with "bindings: N passed, N failed" (one per binding).
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
root=$(pwd)
# shellcheck source=../support/start_board.sh
source tests/support/start_board.sh
build=$root/build/native
# Debian's interpreter, whose setuptools builds the package.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
passed=0
failed=0
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvelin-bindings.XXXXXX") || exit 1
board_pids=()
cleanup() {
  local pid
  for pid in "${board_pids[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

result() {
  if [ "$2" -eq 0 ]; then
    passed=$((passed + 1))
    echo "bindings: ok   $1"
  else
    failed=$((failed + 1))
    echo "bindings: FAIL $1"
  fi
}

cmake --build "$build" -j2 --target tarvelin tarvelin-board >"$work/build.log" 2>&1 || {
  cat "$work/build.log"
  echo "bindings: the native build failed"
  exit 1
}
export TARVELIN_LIBRARY=$build/libtarvelin.so.3
export TARVELIN_BOARD=$build/tarvelin-board

# Two boards, COM3 and COM4, for the .NET program and the examples (the Python tests start their own).
mkdir -p "$work/com3" "$work/com4"
start_board "$TARVELIN_BOARD" "$work/com3" || { echo "bindings: the virtual board did not start"; exit 1; }
board_pids+=("$board_pid")
com3=$slave
start_board "$TARVELIN_BOARD" "$work/com4" || { echo "bindings: the second virtual board did not start"; exit 1; }
board_pids+=("$board_pid")
com4=$slave

# Python: installed, then tested from the installed copy; the examples run with it.
python_lane() {
  "$python" -m pip install --quiet --no-build-isolation --no-deps --no-warn-script-location \
    --target "$work/site" bindings/python 2>&1 | grep -v "Running pip as the 'root' user" || true
  local where
  where=$(cd "$work" && PYTHONPATH=$work/site "$python" -c 'import tarvelin; print(tarvelin.__file__)') || return 1
  [ "$where" = "$work/site/tarvelin/__init__.py" ] || { echo "tarvelin imported from $where"; return 1; }
  PYTHONPATH=$work/site timeout 300 "$python" -m unittest discover -s bindings/python/tests -v || return 1
  PYTHONPATH=$work/site TARVELIN_COM3=$com3 timeout 60 "$python" examples/python/example.py |
    tee "$work/example-py.txt" && grep -Eq '^port B: [0-9]+$' "$work/example-py.txt" || return 1
  PYTHONPATH=$work/site TARVELIN_COM3=$com3 TARVELIN_COM4=$com4 timeout 60 "$python" \
    examples/python/two_boards.py 2>/dev/null | tee "$work/two-boards.txt" &&
    grep -qx 'COM3: port C 17, 200 samples of channels 0 and 1' "$work/two-boards.txt" &&
    grep -qx 'COM4: port C 34, 200 samples of channels 0 and 1' "$work/two-boards.txt"
}
python_lane
result "python: pip install --no-build-isolation, unittest and the examples against the boards" $?

"$python" tests/bindings/check_vb.py
result "vb: TARVELIN.bas and TARVELIN64.bas against the export table" $?

dotnet_lane() {
  mcs -nologo -warnaserror -out:"$work/DotnetTest.exe" tests/bindings/DotnetTest.cs bindings/dotnet/Tarvelin.cs ||
    return 1
  # DllImport("tarvelin") finds libtarvelin.so on the library path.
  TARVELIN_COM3=$com3 LD_LIBRARY_PATH=$build timeout 120 mono "$work/DotnetTest.exe" "$root" || return 1
  mcs -nologo -warnaserror -out:"$work/Example.exe" examples/csharp/Example.cs bindings/dotnet/Tarvelin.cs &&
    TARVELIN_COM3=$com3 LD_LIBRARY_PATH=$build timeout 60 mono "$work/Example.exe" | tee "$work/example-cs.txt" &&
    grep -Eq '^port B: [0-9]+$' "$work/example-cs.txt"
}
dotnet_lane
result "dotnet: Tarvelin.cs and the C# example compiled with mcs and run against the board" $?

echo "bindings: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
