#!/usr/bin/env bash
# Checks read "condition && pass NAME || fail NAME ...": pass always succeeds.
# shellcheck disable=SC2015
# The command-line tools as a user runs them: tarvelin against the virtual
# board through `tarvelin-board --com N --` and `tarvelin-board -- ... {}`, the
# board's own switches, failed opens with the system's reason, and the
# library's wire trace.
#
#   cmake --preset native && cmake --build build/native --target tarvelin-cli tarvelin-board
#   bash tests/tools/run_tools.sh
#
# Ends with "tools: N passed, N failed"; exits nonzero on any failure.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
bin=${TARVELIN_BIN:-$(pwd)/build/native}
cli=$bin/tarvelin
board=$bin/tarvelin-board
for f in "$cli" "$board"; do
  [ -x "$f" ] || { echo "run_tools: $f not built" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvelin-tools.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

pass() { passed=$((passed + 1)); echo "ok    $1"; }
fail() {
  failed=$((failed + 1))
  echo "FAIL  $1"
  shift
  [ $# -gt 0 ] && printf '      %s\n' "$@"
}
# Runs the tool against a fresh board as COM3; output in $out, $err, status in $rc.
on_board() {
  local options=()
  while [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  "$board" "${options[@]}" --com 3 -- "$@" >"$work/out" 2>"$work/err" </dev/null
  rc=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}

# 1. A port read prints the board's value; a device path given to --port is
#    opened as it is, with no TARVELIN_COM<n> in the environment.
on_board -- "$cli" read B
[ "$rc" -eq 0 ] && [ "$out" = 255 ] && pass "read B prints 255" || fail "read B prints 255" "rc=$rc out=$out err=$err"
"$board" -- "$cli" --port {} read b >"$work/out" 2>"$work/err" </dev/null
rc=$?
[ "$rc" -eq 0 ] && [ "$(cat "$work/out")" = 255 ] && pass "--port {}: the board's device path opened directly" ||
  fail "--port {}: the board's device path opened directly" "rc=$rc" "$(cat "$work/out" "$work/err")"

# 2. Sampling to CSV: the header, one row per sample, values within the model's
#    range (a sine around mid-scale, 40 % of full scale: 102..922 at 10 bits).
on_board --time-scale 50 -- "$cli" sample --bits 10 --channels 0,1 --rate 3 --samples 300 --csv "$work/s.csv" \
  --plot "$work/plot.png"
if [ "$rc" -eq 0 ] && [ "$(head -n 1 "$work/s.csv")" = "ch0,ch1" ] && [ "$(head -c 4 "$work/plot.png" | tail -c 3)" = PNG ] &&
  awk -F, 'NR > 1 { rows++; if (NF != 2 || $1 !~ /^[0-9]+$/ || $1 < 102 || $1 > 922 || $2 < 102 || $2 > 922) bad++ }
           END { exit !(rows == 300 && bad == 0) }' "$work/s.csv"; then
  pass "sample --csv --plot: header, 300 rows, values in range, a PNG"
else
  fail "sample --csv --plot: header, 300 rows, values in range, a PNG" "rc=$rc err=$err" "$(head -n 3 "$work/s.csv" 2>/dev/null)"
fi

# The progress bar shows on a terminal only.
grep -q 'sampling \[' <<<"$err" && fail "no progress bar when standard error is a file" "$err" ||
  pass "no progress bar when standard error is a file"
if command -v script >/dev/null; then
  script -qec "'$board' --com 3 -- '$cli' sample --samples 400 --csv '$work/t.csv'" /dev/null >"$work/tty" 2>&1
  grep -q 'sampling \[#*\.*\] *[0-9]*%' "$work/tty" && pass "a progress bar on a terminal" ||
    fail "a progress bar on a terminal" "$(tr '\r' '\n' <"$work/tty" | tail -n 3)"
fi

# A plot needs gnuplot: without it on PATH the tool says so and fails.
mkdir -p "$work/empty"
on_board --time-scale 50 -- env PATH="$work/empty" "$cli" sample --samples 10 --plot "$work/s.png"
[ "$rc" -eq 1 ] && grep -q 'gnuplot is not installed' <<<"$err" && [ ! -e "$work/s.png" ] &&
  pass "sample --plot without gnuplot: a clear error" || fail "sample --plot without gnuplot: a clear error" "rc=$rc err=$err"

# 3. Errors: a silent board gives error 26, naming the port, and status 1; a
#    device error is reported with its code.
on_board --silent -- "$cli" send PRB
[ "$rc" -eq 1 ] && grep -Eq '^error 26: .* \(COM[0-9]+\)$' <<<"$err" &&
  pass "silent board: send PRB exits 1 with error 26 (COMn)" ||
  fail "silent board: send PRB exits 1 with error 26 (COMn)" "rc=$rc err=$err"
on_board --device-error 7 -- "$cli" send PRB
[ "$rc" -eq 1 ] && grep -q '^error 7: .*Time out error' <<<"$err" && pass "--device-error 7 answers ?7 once" ||
  fail "--device-error 7 answers ?7 once" "rc=$rc err=$err"

# 4. Bad usage exits 2 before anything is opened.
usage_ok=1
for args in "--bogus read B" "read Q" "--port COMX read B" "adc --bits 9" "sample --channels 0,11" "write A 256" \
  "motor go FX 1 99999999999" "io485 address" ""; do
  # shellcheck disable=SC2086  # the words are the arguments
  "$cli" $args >/dev/null 2>&1 </dev/null
  status=$?
  [ "$status" -eq 2 ] || { usage_ok=0; echo "      '$args' exited $status"; }
done
# The board's command must be told the device: by --com N or an argument {}.
"$board" -- true >/dev/null 2>&1 </dev/null
status=$?
[ "$status" -eq 2 ] || { usage_ok=0; echo "      tarvelin-board -- true exited $status"; }
[ "$usage_ok" -eq 1 ] && pass "bad usage exits 2" || fail "bad usage exits 2"

# 5. --json: every line is one JSON object with the expected value.
on_board --time-scale 50 -- sh -c "'$cli' --json read B && '$cli' --json send PRA PRB && '$cli' --json adc --channel 14 --bits 12 &&
  '$cli' --json sample --channels 2 --samples 3 && '$cli' --json version"
if [ "$rc" -eq 0 ] && python3 - "$work/out" <<'PY'; then
import json, sys
lines = [json.loads(line) for line in open(sys.argv[1])]
assert lines[0]["value"] == 255, lines[0]
assert [l["value"] for l in lines[1:3]] == [0, 255], lines[1:3]
assert lines[3] == {"bits": 12, "channel": 14, "value": 3072}, lines[3]
assert [l["sample"] for l in lines[4:7]] == [0, 1, 2] and all(len(l["values"]) == 1 for l in lines[4:7])
assert lines[7]["library"] == "Dorvik DLL version 3.51", lines[7]
assert len(lines) == 8
PY
  pass "--json lines parse and carry the values"
else
  fail "--json lines parse and carry the values" "rc=$rc err=$err" "$out"
fi

# 6. ports: the serial ports of a /dev tree, by-id links with their targets first.
root=$work/root
mkdir -p "$root/dev/serial/by-id"
touch "$root/dev/ttyUSB0" "$root/dev/ttyUSB10" "$root/dev/ttyUSB2" "$root/dev/ttyACM0" "$root/dev/ttyS1" \
  "$root/dev/ttyS2" "$root/dev/ttyUSBx" "$root/dev/tty0" "$root/dev/ttyprintk"
# ttyS1 is a UART, ttyS2 a node without hardware (type 0 in sysfs).
mkdir -p "$root/sys/class/tty/ttyS1" "$root/sys/class/tty/ttyS2"
echo 4 >"$root/sys/class/tty/ttyS1/type"
echo 0 >"$root/sys/class/tty/ttyS2/type"
ln -s ../../ttyUSB0 "$root/dev/serial/by-id/usb-Maker_Board_A1-if00-port0"
expected="/dev/serial/by-id/usb-Maker_Board_A1-if00-port0 -> /dev/ttyUSB0
/dev/ttyUSB0
/dev/ttyUSB2
/dev/ttyUSB10
/dev/ttyACM0
/dev/ttyS1"
got=$("$cli" ports --root "$root" 2>&1)
[ "$got" = "$expected" ] && pass "ports lists the ports of a /dev tree" || fail "ports lists the ports of a /dev tree" "$got"

# 7. term fed by a pipe answers each line, errors included.
printf 'PRB\nPWB7\nPCB255\nPWB7\nPRB\n' >"$work/lines"
"$board" --com 3 -- "$cli" term <"$work/lines" >"$work/out" 2>"$work/err"
rc=$?
[ "$rc" -eq 1 ] && [ "$(cat "$work/out")" = $'255\n0\n0\n7' ] && grep -q '^error 2: ' "$work/err" &&
  pass "term answers each piped line" || fail "term answers each piped line" "rc=$rc" "$(cat "$work/out" "$work/err")"

# 8. The wire trace holds the command and the board's answer, escaped.
on_board -- env TARVELIN_TRACE="$work/trace" "$cli" read B
grep -Eq '^[0-9-]{10}T[0-9:.]{12}Z write PRB\\r$' "$work/trace" &&
  grep -Eq 'Z read  .*B=255\\r\\n>' "$work/trace" && pass "TARVELIN_TRACE holds PRB and the answer" ||
  fail "TARVELIN_TRACE holds PRB and the answer" "$(cat "$work/trace" 2>/dev/null)"

# 9. The tool never stops at a message box: a 12-bit conversion prints its
#    value alone, even with the library's boxes switched on.
on_board -- env TARVELIN_MESSAGEBOX=1 "$cli" adc --bits 12 --channel 14
[ "$rc" -eq 0 ] && [ "$out" = 3072 ] && ! grep -q 'STring QEl Answer' <<<"$err" &&
  pass "adc at 12 bits: no message box" || fail "adc at 12 bits: no message box" "rc=$rc out=$out err=$err"

# 10. A failed open names the device and the system's reason, without a switch:
#     a device that is not there, and the board's own made unreadable (root,
#     whom no mode stops, runs the tool as nobody).
failed_open() {
  local name=$1 device=$2 reason=$3
  [ "$rc" -eq 1 ] && [ "$err" = "error 36: Unable to open COM port ($device: $reason)" ] && pass "$name" ||
    fail "$name" "rc=$rc err=$err"
}
"$cli" --port "$work/no-such-port" read B >/dev/null 2>"$work/err"
rc=$?
err=$(cat "$work/err")
failed_open "failed open: a missing device, No such file or directory" "$work/no-such-port" "No such file or directory"
drop=()
[ "$(id -u)" -eq 0 ] && drop=(setpriv --reuid=65534 --regid=65534 --clear-groups)
# shellcheck disable=SC2016  # the inner script expands its own arguments
on_board -- sh -c 'echo "$1" && chmod 000 "$1" && shift && exec "$@"' sh {} "${drop[@]}" "$cli" --port {} read B
failed_open "failed open: a device not readable, Permission denied" "${out:-no device printed}" "Permission denied"

# 11. The board's wire log, and a hang-up after N commands.
on_board --log "$work/board.log" --hang-up-after 1 -- "$cli" send PRB PRA
grep -Eq 'Z host  PRB\\r$' "$work/board.log" && grep -Eq 'Z board \\r\\nB=255\\r\\n>$' "$work/board.log" &&
  [ "$rc" -eq 1 ] && [ "$out" = 255 ] && ! grep -q 'A=' "$work/board.log" &&
  pass "--log and --hang-up-after 1" || fail "--log and --hang-up-after 1" "rc=$rc out=$out" "$(cat "$work/board.log")"

# 12. Control lines on standard input change the board while it runs.
mkfifo "$work/control"
"$board" <"$work/control" >"$work/board.out" 2>"$work/board.err" &
board_pid=$!
exec 7>"$work/control"
device=
for _ in $(seq 100); do
  device=$(head -n 1 "$work/board.out" 2>/dev/null)
  [ -n "$device" ] && break
  sleep 0.05
done
printf 'port B 17\nanalog 3 4000\nbogus line\n' >&7
value=
for _ in $(seq 50); do
  value=$("$cli" --port "$device" read B 2>/dev/null)
  [ "$value" = 17 ] && break
  sleep 0.1
done
analog=$("$cli" --port "$device" adc --bits 12 --channel 3 2>/dev/null)
exec 7>&-
kill -TERM "$board_pid" 2>/dev/null
wait "$board_pid"
board_status=$?
[ "$value" = 17 ] && [ "$analog" = 4000 ] && [ "$board_status" -eq 0 ] &&
  grep -q 'unknown control line: bogus' "$work/board.err" && pass "control lines: port, analog, an unknown line refused" ||
  fail "control lines: port, analog, an unknown line refused" "read B=$value adc=$analog status=$board_status" "$(cat "$work/board.err")"

# 13. Ctrl-C during sampling: the tool closes the port and exits 130 at once,
#     not when the block (125 s at rate code 7) would have ended.
# shellcheck disable=SC2016  # the inner script expands its own arguments
"$board" --log "$work/ctrl-c.log" --com 3 -- sh -c '
  "$1" sample --rate 7 --samples 1000 >/dev/null 2>"$2/ctrl-c.err" &
  pid=$!
  for _ in $(seq 100); do grep -q "host  GS10" "$2/ctrl-c.log" 2>/dev/null && break; sleep 0.05; done
  start=$(date +%s)
  kill -INT "$pid"
  wait "$pid"
  echo "$? $(($(date +%s) - start))"' sh "$cli" "$work" >"$work/out" 2>&1
read -r status seconds <"$work/out"
[ "$status" = 130 ] && [ "$seconds" -le 10 ] && grep -q 'interrupted; the port is closed' "$work/ctrl-c.err" &&
  pass "Ctrl-C during sampling closes the port and exits 130" ||
  fail "Ctrl-C during sampling closes the port and exits 130" "$(cat "$work/out" "$work/ctrl-c.err")"

# 14. The man page made from the tool's help names every command.
manpage=$bin/man/tarvelin.1
missing=
for command in ports send read write config adc sample motor pwm period io485 version term; do
  grep -q "^\.SS $command\$" "$manpage" 2>/dev/null || missing+=" $command"
done
[ -z "$missing" ] && grep -q '^\.B TARVELIN_TRACE' "$manpage" && pass "tarvelin(1) documents every command" ||
  fail "tarvelin(1) documents every command" "missing:${missing:- none} in $manpage"

echo "tools: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
