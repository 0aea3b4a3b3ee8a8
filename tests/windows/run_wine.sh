#!/usr/bin/env bash
# Runs the 64-bit TARVELIN.DLL under wine64 against the virtual board. In a
# fresh Wine prefix:
#   COM7  the board's pseudo-terminal
#   COM8  a second board started with --silent (it never answers: code 26)
# (both started by tarvelin-board --com N -- around this script, which they
# stop when it ends)
#   COM9  a path that does not exist (the port cannot be opened: code 36)
# then runs, with the DLL beside them as a host application finds it:
#   tarvelin_client.exe 7        linked by mingw against libtarvelin.dll.a
#   tarvelin_client_msvc.exe 7   linked by lld-link against TARVELIN.lib
#   tarvelin_wintest.exe         every export by name and ordinal, every family,
#                                the faults, and FreeLibrary with the port open
#   tarvelin.exe --port 7 ...    the command-line tool: read B (with the wire trace),
#                                a 12-bit conversion that shows no message box, the
#                                ports it lists, the system's reason for a failed
#                                open, the port named in an error, the help of
#                                every command in Windows terms, and the panel's
#                                page over plain HTTP
# While the test program runs, this script answers its release probes: it
# counts the processes (the board aside) that have COM7's pseudo-terminal open.
#
#   cmake --preset native && cmake --build build/native --target tarvelin-board
#   cmake --preset win64 && cmake --build build/win64
#   bash tests/windows/run_wine.sh
#
# Environment:
#   TARVELIN_BOARD       the board executable (default build/native/tarvelin-board)
#   TARVELIN_WIN64_DIR   folder holding TARVELIN.DLL and the programs (default build/win64)
#   TARVELIN_WINE_KEEP   non-empty: keep the prefix and the logs for inspection
#
# Ends with "run_wine: calls made under Wine: N, checks: N passed, N failed";
# exits nonzero on any failure, a setup failure included.
# Only the 64-bit DLL runs here: this kernel does not execute 32-bit programs.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
root=$(pwd)

board_exe=${TARVELIN_BOARD:-$root/build/native/tarvelin-board}
win_dir=${TARVELIN_WIN64_DIR:-$root/build/win64}
com_port=7
silent_port=8
closed_port=9
programs=(TARVELIN.DLL tarvelin_wintest.exe tarvelin_client.exe tarvelin_client_msvc.exe tarvelin.exe tarvelin_linetest.exe)
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
for f in "${programs[@]}"; do
  [ -f "$win_dir/$f" ] || fail "$win_dir/$f not built (cmake --preset win64 && cmake --build build/win64)"
done

# The boards run around this script: the silent one as COM8, the answering one
# as COM7; each stops when what it runs has ended.
if [ -z "${TARVELIN_WINE_BOARDS:-}" ]; then
  exec "$board_exe" --silent --com "$silent_port" -- \
    "$board_exe" --com "$com_port" -- env TARVELIN_WINE_BOARDS=1 bash "$0" "$@" </dev/null
fi
slave=$(eval echo "\${TARVELIN_COM$com_port:-}")
silent_slave=$(eval echo "\${TARVELIN_COM$silent_port:-}")
{ [ -c "$slave" ] && [ -c "$silent_slave" ]; } || fail "the boards did not start (COM$com_port '$slave', COM$silent_port '$silent_slave')"
board_real=$(readlink -f "$board_exe")

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvelin-wine.XXXXXX") || fail "cannot make a work folder"
log=$work/wine.log
server_pid=
child_pid=
prober_pid=
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

# Ends process $1 (TERM, then KILL after $2 seconds) and reaps it.
end_process() {
  kill -TERM "$1" 2>/dev/null
  wait_gone "$2" "$1" || kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
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
  [ -n "$child_pid" ] && end_process "$child_pid" 10
  [ -n "$prober_pid" ] && end_process "$prober_pid" 2
  stop_wineserver
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

# The processes other than the board that have the board's pseudo-terminal open.
count_holders() {
  find /proc/[0-9]*/fd -maxdepth 1 -lname "$slave" 2>/dev/null |
    awk -F/ '{ print $3 }' | sort -u | while read -r pid; do
      [ "$(readlink -f "/proc/$pid/exe" 2>/dev/null)" = "$board_real" ] || echo "$pid"
    done | wc -l
}

# Answers the test program's release probes until it ends (see AskHost in
# wintest.c): the request is removed before the answer appears, so that the
# next request can never meet the old one.
serve_probes() {
  local app=$1 request moment holders
  request=$app/tarvelin-probe.req
  while true; do
    if [ -f "$request" ]; then
      moment=$(head -c 40 "$request" | tr -cd '[:lower:]')
      holders=$(count_holders)
      rm -f "$request"
      echo "holders $holders" >"$app/tarvelin-probe.ans.tmp"
      mv "$app/tarvelin-probe.ans.tmp" "$app/tarvelin-probe.ans"
      echo "run_wine: release probe '$moment': $holders processes besides the board hold $slave"
    fi
    sleep 0.05
  done
}

start=$SECONDS

# 1. The virtual boards: the one that answers, and a silent one.
echo "run_wine: virtual board on $slave as COM$com_port, silent board on $silent_slave as COM$silent_port"

# 2. A fresh prefix, made once the pseudo-terminals exist, with the ports mapped.
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/tarvelin-wineprefix.XXXXXX") || fail "cannot make a Wine prefix"
start_wineserver
t0=$SECONDS
{
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  printf '"COM%d"="%s"\n' "$com_port" "$slave" "$silent_port" "$silent_slave" \
    "$closed_port" "$work/no-such-port"
  # A program that crashes ends at once instead of waiting in the debugger.
  printf '\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]\n'
  printf '"Debugger"=""\n"Auto"="1"\n'
} >"$work/ports.reg"
if ! step timeout 180 "$wine" regedit /S "Z:${work//\//\\}\\ports.reg" </dev/null >>"$log" 2>&1; then
  tail -n 20 "$log" >&2
  fail "making the prefix and mapping the COM ports failed"
fi
echo "run_wine: prefix made and COM$com_port, COM$silent_port, COM$closed_port mapped in $((SECONDS - t0)) s"
# The port mapping is read when the wineserver starts: restart it.
stop_wineserver
start_wineserver

# 3. The DLL beside the programs, as a host application finds it.
mkdir -p "$work/app"
for f in "${programs[@]}"; do
  cp "$win_dir/$f" "$work/app/" || fail "cannot copy $f"
done
cd "$work/app" || fail "cannot enter $work/app"

calls=0
passed=0
failed=0
status=0

# Adds the "N passed, N failed" and call count of one program's output to the totals.
tally() {
  local output=$1 summary
  summary=$(grep -Eo '[0-9]+ passed, [0-9]+ failed' "$output" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "run_wine: FAIL $(basename "$output" .txt) ended without its summary (a crash? see the wine log below)"
    failed=$((failed + 1))
    return
  fi
  passed=$((passed + $(awk '{ print $1 }' <<<"$summary")))
  failed=$((failed + $(awk '{ print $3 }' <<<"$summary")))
  calls=$((calls + $(grep -Eo '(^calls: [0-9]+|[0-9]+ calls$)' "$output" | grep -Eo '[0-9]+' | tail -n 1)))
}

# 4. The clients linked against the import libraries.
for client in tarvelin_client.exe tarvelin_client_msvc.exe; do
  t0=$SECONDS
  step timeout -k 5 60 "$wine" "$client" "$com_port" </dev/null >"$work/$client.txt" 2>>"$log"
  client_status=$?
  cat "$work/$client.txt"
  echo "run_wine: $client ran in $((SECONDS - t0)) s, status $client_status"
  tally "$work/$client.txt"
  [ "$client_status" -eq 0 ] || status=1
done

# 4b. The win32 line's contract, on the board's port and a port that is not there.
t0=$SECONDS
step timeout -k 5 60 "$wine" tarvelin_linetest.exe "$com_port" "$closed_port" </dev/null >"$work/linetest.txt" 2>>"$log"
line_status=$?
cat "$work/linetest.txt"
echo "run_wine: line contract ran in $((SECONDS - t0)) s, status $line_status"
tally "$work/linetest.txt"
[ "$line_status" -eq 0 ] || status=1

# 5. The test program, with the release probes answered beside it.
serve_probes "$work/app" &
prober_pid=$!
t0=$SECONDS
step timeout -k 5 150 "$wine" tarvelin_wintest.exe --silent-port "$silent_port" --closed-port "$closed_port" \
  --release-probe "$com_port" </dev/null >"$work/wintest.txt" 2>>"$log"
test_status=$?
cat "$work/wintest.txt"
end_process "$prober_pid" 2
prober_pid=
echo "run_wine: test program ran in $((SECONDS - t0)) s, status $test_status"
[ "$test_status" -eq 124 ] && echo "run_wine: the test program timed out" >&2
tally "$work/wintest.txt"
[ "$test_status" -eq 0 ] || status=1

# 6. The command-line tool: a port read (with the wire trace), a 12-bit
#    conversion, which would wait on a message box were the tool not
#    unattended, and the ports it lists.
# Counts one call and its check: $1 is 0 when it passed, $2 says what.
record() {
  calls=$((calls + 1))
  if [ "$1" -eq 0 ]; then
    passed=$((passed + 1))
    echo "run_wine: ok   $2"
  else
    failed=$((failed + 1))
    status=1
    echo "run_wine: FAIL $2"
  fi
}
# Runs tarvelin.exe; its output without carriage returns in $got, its status in $cli_status.
got=
cli_status=
cli() {
  got=$(step timeout -k 5 60 "$wine" tarvelin.exe "$@" </dev/null 2>>"$log" | tr -d '\r')
  cli_status=$?
}
TARVELIN_TRACE=$work/trace.txt cli --port "$com_port" read B
[ "$cli_status" -eq 0 ] && [ "$got" = 255 ]
record $? "tarvelin.exe read B -> $got"
grep -q 'Z write PRB\\r' "$work/trace.txt" 2>/dev/null && grep -q 'Z read  .*B=255' "$work/trace.txt"
record $? "TARVELIN_TRACE holds PRB and the answer: $(head -c 120 "$work/trace.txt" 2>/dev/null | tr '\r\n' '  ')"
cli --port "$com_port" adc --bits 12 --channel 14
[ "$cli_status" -eq 0 ] && [ "$got" = 3072 ]
record $? "tarvelin.exe adc --bits 12 --channel 14 -> $got"
cli ports
[ "$cli_status" -eq 0 ] && grep -Eq "^COM$com_port( |\$)" <<<"$got" && grep -Eq "^COM$silent_port( |\$)" <<<"$got"
record $? "tarvelin.exe ports lists COM$com_port and COM$silent_port: ${got//$'\n'/ }"
# Runs tarvelin.exe; its standard error without carriage returns in $got_err.
got_err=
cli_err() {
  got_err=$(step timeout -k 5 60 "$wine" tarvelin.exe "$@" </dev/null 2>&1 >/dev/null | tr -d '\r')
  cli_status=$?
}
# A failed open says why in the system's words, and every error names the port.
cli_err --port "$closed_port" read B
grep -Eq "^error 36: Unable to open COM port \(([\][\][.][\])?COM$closed_port: [^)]*[[:alpha:]]{4}" <<<"$got_err" &&
  ! grep -q TARVELIN_DEBUG <<<"$got_err"
record $? "tarvelin.exe --port $closed_port read B gives the system's reason: $got_err"
cli_err --port "$silent_port" send PRB
grep -Eq "^error 26: .* \(COM$silent_port\)\$" <<<"$got_err"
record $? "tarvelin.exe --port $silent_port send PRB names the port: $got_err"
# The help is Windows help: COM names and Windows examples on every page, no
# device paths and no variable that does nothing here.
cli --help
commands=$(sed -n '/^Subcommands:/,/^$/p' <<<"$got" | awk 'NR > 1 && NF { print $1 }')
help_problems=
for command in "" $commands; do
  if [ -z "$command" ]; then cli --help; else cli "$command" --help; fi
  if [ "$cli_status" -ne 0 ] || grep -Eq '/dev|TARVELIN_COM' <<<"$got" || ! grep -q -- '--port COM3' <<<"$got"; then
    help_problems+=" ${command:-(top)}"
  fi
done
[ -n "$commands" ] && [ -z "$help_problems" ]
record $? "tarvelin.exe --help and the help of $(wc -w <<<"$commands") commands: Windows examples, no /dev, no TARVELIN_COM${help_problems:+ (wrong:$help_problems)}"

# 7. The panel: tarvelin.exe panel on a free port prints its address first;
#    plain HTTP requests get the page with the token, 403 without it, and the
#    event stream's state shows the board read through COM7.
mkfifo "$work/panel.fifo"
"$wine" tarvelin.exe --port "$com_port" panel --listen 127.0.0.1:0 </dev/null >"$work/panel.fifo" 2>>"$log" &
panel_pid=$!
exec 4<"$work/panel.fifo"
url=
read -r -t 90 url <&4
url=${url%$'\r'}
panel_check=$(timeout 60 python3 - "$url" <<'PY' 2>&1
import json, sys, urllib.error, urllib.request
url = sys.argv[1]
origin, token = url.split("/?token=")
def get(address):
    try:
        with urllib.request.urlopen(address, timeout=20) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, ""
page, refused = get(url), get(origin + "/")
state = None
with urllib.request.urlopen(origin + "/api/events?token=" + token, timeout=20) as stream:
    for raw in stream:
        line = raw.decode().strip()
        if line.startswith("data: ") and '"ports"' in line:
            state = json.loads(line[6:])
            if state["ports"]["B"]["value"] is not None:
                break
ok = (page[0] == 200 and "<title>TARVELIN panel</title>" in page[1] and refused[0] == 403 and
      state["line"] == "open" and state["ports"]["B"]["value"] == 255)
print(f"page {page[0]}, without the token {refused[0]}, line {state['line']}, port B {state['ports']['B']['value']}")
sys.exit(0 if ok else 1)
PY
)
panel_status=$?
end_process "$panel_pid" 10
exec 4<&-
record "$panel_status" "tarvelin.exe panel at ${url:-(no address)}: $panel_check"
cd "$root" || true

if [ "$status" -ne 0 ]; then
  echo "--- wine log (last lines)" >&2
  tail -n 30 "$log" >&2
fi
echo "run_wine: total $((SECONDS - start)) s"
echo "run_wine: calls made under Wine: $calls, checks: $passed passed, $failed failed"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ]
