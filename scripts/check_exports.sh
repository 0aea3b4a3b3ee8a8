#!/usr/bin/env bash
# The export and ABI check lives in tests/windows/check_abi.sh; this name is
# kept for those who call it from here.
#   scripts/check_exports.sh [win32|win64|native]...   (default: all three)
exec bash "$(dirname "$0")/../tests/windows/check_abi.sh" "$@"
