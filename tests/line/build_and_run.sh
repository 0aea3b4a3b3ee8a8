#!/bin/sh
# Builds the POSIX line, host and reader thread with their contract test and
# runs it three ways: g++, clang++ with ThreadSanitizer, clang++ with
# AddressSanitizer and UndefinedBehaviorSanitizer. Until the test joins the
# project's build. Usage: tests/line/build_and_run.sh [output directory]
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-${TMPDIR:-/tmp}/tarvelin-line-test}
mkdir -p "$out"
# The project's warnings, as errors.
warnings="-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wcast-align -Wold-style-cast
  -Wnon-virtual-dtor -Woverloaded-virtual -Wnull-dereference -Wdouble-promotion -Wformat=2
  -Wmissing-declarations -Wundef -Werror"

build() {  # name compiler flags...
  name=$1 compiler=$2
  shift 2
  echo "== $name"
  objects=""
  # The library's own code as the library is built: no exceptions, no RTTI.
  for source in serial_line host reader_thread; do
    # shellcheck disable=SC2086
    $compiler -std=c++20 -g -I "$root/src" $warnings -fno-exceptions -fno-rtti "$@" \
      -c "$root/src/platform/posix/$source.cpp" -o "$out/$source.$name.o"
    objects="$objects $out/$source.$name.o"
  done
  # shellcheck disable=SC2086
  $compiler -std=c++20 -g -I "$root/src" $warnings "$@" "$root/tests/line/line_contract_test.cpp" $objects \
    -o "$out/line_contract_$name" -lgtest -lgtest_main -pthread
  "$out/line_contract_$name"
}

build gcc g++ -O2
TSAN_OPTIONS=halt_on_error=1 build tsan clang++ -O1 -fsanitize=thread
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  build asan clang++ -O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
