#!/usr/bin/env bash
# What the Linux library shows its users: exactly the export table's names,
# no name of the Windows API or of the test fake anywhere in the library, and
# none in the installed headers.
# Usage: check_symbols.sh LIBRARY EXPORT_TABLE INCLUDE_DIR
set -u
library=$1 table=$2 include=$3
failures=0
check() {
  if [ "$1" -eq 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi
}

expected=$(awk '!/^#/ && NF >= 2 {print $2}' "$table" | sort)
exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
diff <(echo "$expected") <(echo "$exported") >/dev/null
check $? "the library exports the $(echo "$expected" | wc -l) names of the export table and nothing else"

# Whole words of the Windows API and the fake's controls, among every symbol
# (defined, local and imported, demangled).
win32='HANDLE|DWORD|BOOL|WINAPI|LPVOID|OVERLAPPED|COMSTAT|DCB|SRWLOCK|CRITICAL_SECTION|SAFEARRAY|Sleep|GetTickCount|ReadFile|WriteFile|CreateFileA|CreateEventA|SetEvent|WaitForSingleObject|MsgWaitForMultipleObjectsEx|WaitCommEvent|SetCommMask|ClearCommError|PurgeComm|EscapeCommFunction|MessageBoxA|OutputDebugStringA|PeekMessageA|GetEnvironmentVariableA|standin|SetClockScale|ResetFaults|Win32PortHandle'
found=$(nm -C -a "$library" | grep -wE "$win32" | head -n 5)
[ -z "$found" ]
check $? "no Windows API or test-fake name among the library's symbols${found:+: $found}"

# The safe array is named where the header documents what a Visual Basic caller passes.
found=$(grep -rnwE "$win32|TRUE|FALSE|LPCSTR|HWND|UINT|windows\.h" "$include" | grep -v "OLE Automation SAFEARRAY" | head -n 5)
[ -z "$found" ]
check $? "no Windows API name in the installed headers${found:+: $found}"

echo "symbols: $((3 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
