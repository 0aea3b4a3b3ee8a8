#!/usr/bin/env bash
# Runs the 64-bit TARVELIN.DLL under wine64 against the virtual board: the
# board's pseudo-terminal becomes COM7 of a fresh Wine prefix, and the Windows
# test program resolves every export by name and ordinal and runs a session on
# COM7. Exits with the test program's status (nonzero for any setup failure).
#
#   cmake --preset native && cmake --build build/native --target tarvelin-board
#   cmake --preset win64 && cmake --build build/win64
#   bash tests/windows/run_wine.sh
#
# Environment:
#   TARVELIN_BOARD       the board executable (default build/native/tarvelin-board)
#   TARVELIN_WIN64_DIR   folder holding TARVELIN.DLL and tarvelin_wintest.exe (default build/win64)
#   TARVELIN_WINE_KEEP   non-empty: keep the prefix and the logs for inspection
#
# Only the 64-bit DLL runs here: this kernel does not execute 32-bit programs.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
root=$(pwd)

board_exe=${TARVELIN_BOARD:-$root/build/native/tarvelin-board}
win_dir=${TARVELIN_WIN64_DIR:-$root/build/win64}
com_port=7
# /usr/bin/wine picks the 32-bit loader; the 64-bit one is called directly.
wine=/usr/lib/wine/wine64

fail() {
  echo "run_wine: $*" >&2
  exit 1
}

find_wineserver() {
  local candidate
  for candidate in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver \
    /usr/lib/x86_64-linux-gnu/wine/wineserver64 /usr/lib/x86_64-linux-gnu/wine/wineserver \
    "$(command -v wineserver64 2>/dev/null)" "$(command -v wineserver 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

[ -x "$wine" ] || fail "$wine not found (Debian package wine64)"
wineserver=$(find_wineserver) || fail "wineserver not found (Debian package wine64)"
[ -x "$board_exe" ] || fail "virtual board $board_exe not built (cmake --build build/native --target tarvelin-board)"
for f in TARVELIN.DLL tarvelin_wintest.exe; do
  [ -f "$win_dir/$f" ] || fail "$win_dir/$f not built (cmake --preset win64 && cmake --build build/win64)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvelin-wine.XXXXXX") || fail "cannot make a work folder"
log=$work/wine.log
board_pid=
server_pid=
child_pid=
export WINEPREFIX=
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko install prompts while the prefix is made, and no display.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# Waits up to $1 seconds for process $2 to end; true when it has.
wait_gone() {
  local deadline=$((SECONDS + $1))
  while kill -0 "$2" 2>/dev/null; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.1
  done
  return 0
}

stop_wineserver() {
  if [ -n "$WINEPREFIX" ]; then
    timeout 20 "$wineserver" -k </dev/null >>"$log" 2>&1
    timeout 20 "$wineserver" -w </dev/null >>"$log" 2>&1
  fi
  if [ -n "$server_pid" ]; then
    if ! wait_gone 5 "$server_pid"; then
      kill -KILL "$server_pid" 2>/dev/null
    fi
    wait "$server_pid" 2>/dev/null
    server_pid=
  fi
}

# The wineserver is started here, with its streams on the log, so that it never
# holds the caller's terminal or pipe open after this script has ended.
start_wineserver() {
  "$wineserver" -f -p </dev/null >>"$log" 2>&1 &
  server_pid=$!
  sleep 0.2
  kill -0 "$server_pid" 2>/dev/null || fail "the wineserver did not start: $(tail -n 3 "$log")"
}

# Runs a step in the background and waits for it, so that an interrupt is
# handled at once instead of after the step.
step() {
  "$@" &
  child_pid=$!
  wait "$child_pid"
  local status=$?
  child_pid=
  return "$status"
}

# shellcheck disable=SC2317  # reached through the EXIT trap
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$child_pid" ]; then
    kill -TERM "$child_pid" 2>/dev/null
    wait_gone 10 "$child_pid" || kill -KILL "$child_pid" 2>/dev/null
    wait "$child_pid" 2>/dev/null
  fi
  stop_wineserver
  if [ -n "$board_pid" ]; then
    kill -TERM "$board_pid" 2>/dev/null
    if ! wait_gone 5 "$board_pid"; then
      kill -KILL "$board_pid" 2>/dev/null
    fi
    wait "$board_pid" 2>/dev/null
  fi
  if [ -n "${TARVELIN_WINE_KEEP:-}" ]; then
    echo "run_wine: kept $work (prefix $WINEPREFIX)" >&2
  else
    [ -n "$WINEPREFIX" ] && rm -rf "$WINEPREFIX"
    rm -rf "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

start=$SECONDS

# 1. The virtual board; its first line is the pseudo-terminal to open.
"$board_exe" </dev/null >"$work/board.out" 2>"$work/board.err" &
board_pid=$!
slave=
deadline=$((SECONDS + 10))
while [ "$SECONDS" -lt "$deadline" ]; do
  if [ -s "$work/board.out" ] && slave=$(head -n 1 "$work/board.out") && [ -n "$slave" ]; then
    break
  fi
  kill -0 "$board_pid" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$slave" ] || [ ! -c "$slave" ]; then
  cat "$work/board.err" >&2
  fail "the virtual board did not report its pseudo-terminal (got '${slave}')"
fi
echo "run_wine: virtual board on $slave as COM$com_port"

# 2. A fresh prefix, made once the pseudo-terminal exists, with COM7 mapped to it.
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/tarvelin-wineprefix.XXXXXX") || fail "cannot make a Wine prefix"
start_wineserver
t0=$SECONDS
if ! step timeout 180 "$wine" reg add 'HKLM\Software\Wine\Ports' /v "COM$com_port" /t REG_SZ /d "$slave" /f \
  </dev/null >>"$log" 2>&1; then
  tail -n 20 "$log" >&2
  fail "making the prefix and mapping COM$com_port failed"
fi
echo "run_wine: prefix made and COM$com_port mapped in $((SECONDS - t0)) s"
# The port mapping is read when the wineserver starts: restart it.
stop_wineserver
start_wineserver

# 3. The DLL beside the test program, as a host application finds it.
mkdir -p "$work/app"
cp "$win_dir/TARVELIN.DLL" "$win_dir/tarvelin_wintest.exe" "$work/app/" || fail "cannot copy the programs"
t0=$SECONDS
cd "$work/app" || fail "cannot enter $work/app"
step timeout -k 5 120 "$wine" tarvelin_wintest.exe "$com_port" </dev/null 2>>"$log"
status=$?
cd "$root" || true
echo "run_wine: test program ran in $((SECONDS - t0)) s, status $status"
if [ "$status" -eq 124 ]; then
  echo "run_wine: the test program timed out" >&2
fi
if [ "$status" -ne 0 ]; then
  echo "--- wine log (last lines)" >&2
  tail -n 30 "$log" >&2
  echo "--- board stderr" >&2
  tail -n 30 "$work/board.err" >&2
fi
echo "run_wine: total $((SECONDS - start)) s"
exit "$status"
