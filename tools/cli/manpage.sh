#!/usr/bin/env bash
# Makes a man page from a tool's own --help and --version with help2man; the
# help of each subcommand and the fixed sections below go in as extra sections.
#   manpage.sh PROGRAM OUTPUT.1 "one-line description"
set -euo pipefail
program=$1
output=$2
description=$3
name=$(basename "$program")
extra=$(mktemp)
trap 'rm -f "$extra"' EXIT

# The subcommands are the words under "Subcommands:" in the help.
commands=$("$program" --help | awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { on = 0 }')
if [ -n "$commands" ]; then
  echo "[COMMANDS]" >>"$extra"
  for command in $commands; do
    {
      printf '.SS %s\n.nf\n' "$command"
      # The tool's footer (exit status, example) is said once, above.
      "$program" "$command" --help | sed -e '/^Exit status:/,$d' -e 's/\\/\\e/g' -e 's/^\./\\\&./'
      printf '.fi\n'
    } >>"$extra"
  done
fi
cat >>"$extra" <<'TEXT'
[PANEL]
.B tarvelin panel
serves one page, all of its files built into the program, that shows the board live and drives
it: the digital ports A to D and S as lamps, with a switch for each output bit and the direction
byte editable; the analog channels picked, as a scrolling chart and as numbers, read up to 20
times a second; block sampling drawn and offered as CSV; the stepper, the PWM and its end of run,
the period, the I/O-485 network; a terminal with history; the line's state (open, gone after an
unplug, reopened), the last error with its code and text, and a log of the operations. One
poller reads the board for every open tab.
.PP
Security: it listens on 127.0.0.1 unless \fB--listen\fP says otherwise (any other address is
warned about). Requests without the token of the printed address (a cookie after the first
page) get 403, as do requests whose Host header names another address and changes whose Origin is
not the page's own. Bodies are limited to 64 KiB; a malformed request gets 400 with its reason.
[ENVIRONMENT]
.TP
.B TARVELIN_COM\fIn\fP
the Linux device that COM\fIn\fP opens (default /dev/ttyS\fIn-1\fP); \fB--port\fP also takes the device
path itself, which is opened as given
.TP
.B TARVELIN_DEBUG
non-empty: the library's debugger output goes to standard error (the device and the system's
reason of a failed open are in the tool's own error line)
.TP
.B TARVELIN_TRACE
a file to which every byte written to and read from the port is appended, one timestamped
line per block, control characters escaped
.TP
.B TARVELIN_MESSAGEBOX
0: the informational message boxes become debugger-output lines (tarvelin sets this itself for the
panel; its other commands show none)
[SEE ALSO]
The README of the TARVELIN sources; tools/board/README.md for the virtual board.
TEXT
help2man --no-info --no-discard-stderr --name="$description" --include="$extra" --output="$output" "$program"
echo "man page: $output ($name)"
