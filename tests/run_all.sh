#!/usr/bin/env bash
# Every test lane, in order: native (unit, integration, library), soak (the
# fault soak's counts), tools (the tarvelin CLI and tarvelin-board as a user
# runs them), panel (tarvelin panel in headless Chromium), docs (the API reference, warnings as errors, every export
# documented, the declarations the export table gives), sanitizers
# (ASan/UBSan, TSan), fuzz, Windows (both DLLs built, exports checked, the
# 64-bit DLL run under wine64 against the virtual board), consumer (installed
# and used as users do, after the Windows package is made), bindings (Python,
# Visual Basic, .NET), benchmarks.
# Installs missing Debian packages first when run as root.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash tools/setup.sh all || exit 1

passed=0
failed=0
failures=()
lane() {
  local name=$1
  shift
  echo
  echo "=== lane: $name"
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
    echo "=== lane $name: ok ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "=== lane $name: FAILED ($((SECONDS - start)) s)"
  fi
}

native() {
  cmake --preset native >/dev/null &&
    cmake --build build/native -j2 &&
    ctest --test-dir build/native --output-on-failure -j2 -E 'FaultSoak'  # the soak lane runs it
}

# The API reference built with warnings as errors, every export documented
# in the header, the README and the man page, and the declarations of the
# bindings and the README as the export table gives them.
docs() {
  cmake --build build/native --target docs &&
    python3 tests/docs/check_docs.py --man build/native/docs/man/man3/tarvelin.3 &&
    python3 scripts/gen_declarations.py --check &&
    python3 tests/docs/test_gen_declarations.py
}

tools() {
  cmake --preset native >/dev/null &&
    cmake --build build/native -j2 --target tarvelin-cli tarvelin-board tarvelin-manpages &&
    bash tests/tools/run_tools.sh
}

# `tarvelin panel` against the virtual board, driven in headless Chromium; the
# page's screenshot is kept as build/panel/panel.png.
panel() {
  cmake --preset native >/dev/null &&
    cmake --build build/native -j2 --target tarvelin-cli tarvelin-board &&
    bash tests/panel/run_panel.sh
}

sanitized() {
  local dir=$1 flags=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null &&
    cmake --build "$dir" -j2 --target unit_tests integration_tests native_tests &&
    "$dir/tests/unit_tests" --gtest_brief=1 &&
    "$dir/tests/native_tests" --gtest_brief=1 &&
    "$dir/tests/integration_tests" --gtest_brief=1
}

asan() {
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    sanitized build/asan "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
}

# Also clang's thread-safety analysis: what each lock guards, as the board says.
tsan() {
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    sanitized build/tsan "-fsanitize=thread -Wthread-safety -Werror=thread-safety"
}

fuzz() {
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVELIN_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null &&
    cmake --build build/fuzz -j2 --target answer_fuzz block_fuzz &&
    mkdir -p build/fuzz/corpus build/fuzz/block_corpus &&
    build/fuzz/tests/answer_fuzz -max_total_time=20 -print_final_stats=1 build/fuzz/corpus 2>&1 | tail -n 12 &&
    test "${PIPESTATUS[0]}" -eq 0 &&
    build/fuzz/tests/block_fuzz -max_total_time=10 -print_final_stats=1 build/fuzz/block_corpus 2>&1 | tail -n 12 &&
    test "${PIPESTATUS[0]}" -eq 0
}

# Both DLLs built (with their import libraries and the clients linked against
# them), the ABI checked from the files, the 64-bit DLL run under wine64 against
# the virtual board, the ZIP package made. The checks run even when one of them
# fails, so that every figure is printed.
windows_figures=
windows() {
  local log=build/windows-lane.log abi_status wine_status package_status
  mkdir -p build
  cmake --preset win32 >/dev/null && cmake --build build/win32 -j2 &&
    cmake --preset win64 >/dev/null && cmake --build build/win64 -j2 || return 1
  bash tests/windows/check_abi.sh 2>&1 | tee "$log"
  abi_status=${PIPESTATUS[0]}
  bash tests/windows/run_wine.sh 2>&1 | tee -a "$log"
  wine_status=${PIPESTATUS[0]}
  bash scripts/package_windows.sh 2>&1 | tee -a "$log"
  package_status=${PIPESTATUS[0]}
  # A step that ended without its summary line counts as one failure.
  local exports calls abi_failures wine_failures package
  exports=$(sed -n 's/.*exports checked: \([0-9]*\), failures: .*/\1/p' "$log" | tail -n 1)
  abi_failures=$(sed -n 's/.*exports checked: [0-9]*, failures: \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  calls=$(sed -n 's/.*calls made under Wine: \([0-9]*\),.*/\1/p' "$log" | tail -n 1)
  wine_failures=$(sed -n 's/.*calls made under Wine: [0-9]*, checks: [0-9]* passed, \([0-9]*\) failed.*/\1/p' "$log" |
    tail -n 1)
  package=$(sed -n 's/^package: \(.*\.zip, [0-9]* files\),.*/\1/p' "$log" | tail -n 1)
  [ "$abi_status" -ne 0 ] && [ "${abi_failures:-0}" -eq 0 ] && abi_failures=1
  [ "$wine_status" -ne 0 ] && [ "${wine_failures:-0}" -eq 0 ] && wine_failures=1
  windows_figures="windows lane: exports checked: ${exports:-0}, calls made under Wine: ${calls:-0}"
  windows_figures+=", failures: $((${abi_failures:-0} + ${wine_failures:-0} + (package_status != 0)))"
  windows_figures+=", package: ${package:-not made}"
  echo "$windows_figures"
  [ "$abi_status" -eq 0 ] && [ "$wine_status" -eq 0 ] && [ "$package_status" -eq 0 ]
}

# The library as users take it: installed and built against three ways, the
# Linux packages, the Windows package's CMake config with mingw under wine64.
consumer() {
  bash tests/consumer/run_consumer.sh
}

# Python, Visual Basic and .NET bindings against the export table and the board.
bindings() {
  bash tests/bindings/run_bindings.sh
}

# Thousands of transactions against a board that drops, delays and garbles
# answers, on a fast library clock: counts right, clean errors and wrong values.
soak_figures=
soak() {
  local out status
  out=$(build/native/tests/integration_tests --gtest_filter='OwedAnswersTest.FaultSoak*' --gtest_brief=1 2>&1)
  status=$?
  soak_figures=$(grep '^soak:' <<<"$out" | tail -n 1)
  echo "${soak_figures:-soak: no figures}"
  [ "$status" -eq 0 ] && [ -n "$soak_figures" ]
}

# The library against the ideal client: interleaved repetitions, medians side
# by side.
compare_with_ideal() {
  local label=$1 json=build/native/bench_compare.json
  shift
  "$@" build/native/tests/spine_bench --benchmark_filter='RoundTrip|LibraryBlock|IdealClientBlock' \
    --benchmark_min_time=0.2 --benchmark_repetitions=7 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_out="$json" --benchmark_out_format=json >/dev/null &&
    python3 tests/bench/compare.py "$json" | sed "s/^/$label: /"
}

# A virtual machine may halt an idle virtual CPU at once (guest halt polling
# off), which adds a wake-up of tens of microseconds to every hand-over between
# threads. With TARVELIN_BENCH_TUNED=1 (as root) the comparison also runs with
# the kernel's default halt polling, and with the process and the kernel's
# unbound workers on one CPU; each setting is put back afterwards.
# Runs the command with a kernel setting changed, then puts it back; nothing
# when the setting cannot be written.
with_setting() {
  local file=$1 value=$2 saved status
  shift 2
  [ -w "$file" ] && saved=$(cat "$file") || return 0
  echo "$value" >"$file" && "$@"
  status=$?
  echo "$saved" >"$file"
  return $status
}

compare_tuned() {
  local status=0
  with_setting /sys/module/haltpoll/parameters/guest_halt_poll_ns 200000 \
    compare_with_ideal "halt polling 200 us" || status=1
  with_setting /sys/devices/virtual/workqueue/cpumask 1 compare_with_ideal "one CPU" taskset -c 0 || status=1
  return $status
}

bench() {
  build/native/tests/spine_bench --benchmark_min_time=0.3 || return 1
  echo
  compare_with_ideal "as configured" || return 1
  echo "src/ lines the Linux library is built from: $(bash scripts/shipped_lines.sh)"
  [ "${TARVELIN_BENCH_TUNED:-0}" = 1 ] || return 0
  compare_tuned
}

lane native native
lane soak soak
lane tools tools
lane panel panel
lane docs docs
lane asan asan
lane tsan tsan
lane fuzz fuzz
lane windows windows
lane consumer consumer
lane bindings bindings
lane bench bench

echo
[ ${#failures[@]} -eq 0 ] || echo "failed lanes: ${failures[*]}"
[ -n "$soak_figures" ] && echo "$soak_figures"
[ -n "$windows_figures" ] && echo "$windows_figures"
echo "lanes: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
