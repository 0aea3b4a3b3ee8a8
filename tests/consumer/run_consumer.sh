#!/usr/bin/env bash
# The library as its users take it. Installs the Linux build into a temporary
# prefix and builds the README's example three ways: with pkg-config, with
# find_package(tarvelin) and with add_subdirectory of the source tree; runs each
# against the virtual board as COM3 and checks with readelf that it needs
# libtarvelin.so.3; the man pages and the reference are installed (the docs
# target is built first), and the library exports the export table's names, the
# classic ones and the handle API's. The two-board examples (C, and C++ with
# tarvelin.hpp) are built with pkg-config and find_package (the C++ one also by
# add_subdirectory) and run against two virtual boards at once; each board's
# wire log must carry what the program sent that board and nothing it sent the
# other. Makes the tar.gz and .deb with cpack and checks their contents. Then
# builds the CMake examples with mingw-w64 against the unpacked Windows package
# (x64 and x86) and runs the 64-bit ones under wine64 (COM3 and COM4).
#
#   cmake --preset native && cmake --build build/native
#   bash scripts/package_windows.sh         (for the mingw consumer)
#   bash tests/consumer/run_consumer.sh
#
# Ends with "consumer: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
root=$(pwd)
# shellcheck source=../support/start_board.sh
source tests/support/start_board.sh
build=$root/build/native
wine=/usr/lib/wine/wine64
# The one version, as the packages and the pkg-config file carry it.
version=$(sed -n 's/^project(tarvelin VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt | head -n 1)
version_text=" Dorvik DLL version ${version%.*}"
passed=0
failed=0

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvelin-consumer.XXXXXX") || exit 1
board_pids=()
wineprefix=
cleanup() {
  local pid
  for pid in "${board_pids[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  if [ -n "$wineprefix" ]; then
    WINEPREFIX=$wineprefix timeout 20 "$wineserver" -k </dev/null >/dev/null 2>&1
    WINEPREFIX=$wineprefix timeout 20 "$wineserver" -w </dev/null >/dev/null 2>&1
    rm -rf "$wineprefix"
  fi
  rm -rf "$work"
}
trap cleanup EXIT

check() {
  local what=$1
  shift
  if "$@" >"$work/check.log" 2>&1; then
    passed=$((passed + 1))
    echo "consumer: ok   $what"
  else
    failed=$((failed + 1))
    echo "consumer: FAIL $what"
    tail -n 25 "$work/check.log" | sed 's/^/    /'
  fi
}

# The example as the README shows it: the C block of "Using the library".
readme_example() {
  awk '/^## Using the library/ { section = 1; next }
       /^## / { section = 0 }
       section && /^```c$/ && !done { inside = 1; next }
       inside && /^```$/ { inside = 0; done = 1; next }
       inside { print }' README.md
}

# Runs program $1 against the board; it must print the version and port B's value.
runs_against_board() {
  local output
  output=$(TARVELIN_COM3=$slave timeout 20 "$@" 2>&1) || { echo "$output"; return 1; }
  echo "$output"
  grep -Fxq "$version_text" <<<"$output" && grep -Eq '^port B: -?[0-9]+$' <<<"$output"
}

# The two-board examples print, for each port as given, the value written to
# port B and read back (17 on the first board, 34 on the second) and the block
# of 2 x 200 values.
two_boards_output() {
  local first=$1 second=$2 output=$3
  grep -Fxq "$first: port B wrote 17, read 17" <<<"$output" &&
    grep -Fxq "$second: port B wrote 34, read 34" <<<"$output" &&
    grep -Eq "^$first: sampled 400 values, first [0-9]+, [1-9][0-9]* progress calls$" <<<"$output" &&
    grep -Eq "^$second: sampled 400 values, first [0-9]+, [1-9][0-9]* progress calls$" <<<"$output"
}

# What came from the host on board $1 since its wire log held $2 bytes, pieces joined.
wire_since() {
  tail -c "+$(($2 + 1))" "$work/board-$1/wire.log" | awk '$2 == "host" { printf "%s", $3 }'
}
wire_size() {
  stat -c %s "$work/board-$1/wire.log" 2>/dev/null || echo 0
}

# Each board got its own program's write, and not the other's.
wires_apart() {
  local since_a=$1 since_b=$2 a b
  a=$(wire_since a "$since_a")
  b=$(wire_since b "$since_b")
  echo "board a: $a"
  echo "board b: $b"
  grep -Fq 'PWB17\r' <<<"$a" && ! grep -Fq 'PWB34\r' <<<"$a" && grep -Fq 'PWB34\r' <<<"$b" && ! grep -Fq 'PWB17\r' <<<"$b"
}

# Runs program $@ with the two boards' devices as its ports.
runs_two_boards() {
  local output status since_a since_b
  since_a=$(wire_size a)
  since_b=$(wire_size b)
  output=$(timeout 60 "$@" "$slave_a" "$slave_b" 2>&1)
  status=$?
  echo "$output"
  [ "$status" -eq 0 ] && two_boards_output "$slave_a" "$slave_b" "$output" && wires_apart "$since_a" "$since_b"
}

needs_soname() {
  readelf -d "$1" | grep -F '(NEEDED)' | tee /dev/stderr | grep -Fq '[libtarvelin.so.3]'
}

cmake --build "$build" -j2 --target tarvelin tarvelin-board docs >"$work/build.log" 2>&1 || {
  cat "$work/build.log"
  echo "consumer: the native build failed"
  exit 1
}

# Two boards, each writing its wire log; the first is the classic example's COM3.
start_logged_board() {
  local folder=$work/board-$1 status
  mkdir -p "$folder" || return 1
  printf '#!/usr/bin/env bash\nexec %q --log %q\n' "$build/tarvelin-board" "$folder/wire.log" >"$folder/run" &&
    chmod +x "$folder/run" || return 1
  start_board "$folder/run" "$folder"
  status=$?
  board_pids+=("$board_pid")
  return $status
}
start_logged_board a || { echo "consumer: the first virtual board did not start"; exit 1; }
slave_a=$slave
start_logged_board b || { echo "consumer: the second virtual board did not start"; exit 1; }
slave_b=$slave
slave=$slave_a

prefix=$work/prefix
check "cmake --install into a prefix" cmake --install "$build" --prefix "$prefix"
check "installed: soname links, header, pkg-config file, CMake package" \
  test -L "$prefix/lib/libtarvelin.so.3" -a -L "$prefix/lib/libtarvelin.so" -a -f "$prefix/include/tarvelin.h" \
  -a -f "$prefix/include/tarvelin.hpp" \
  -a -f "$prefix/lib/pkgconfig/tarvelin.pc" -a -f "$prefix/lib/cmake/tarvelin/tarvelinConfig.cmake"

# The export table's names, no more and no fewer: the classic ones and the handle API's tarvelin_...
table_names=$(awk '!/^#/ && NF >= 2 {print $2}' src/exports/exports.tab | sort)
exports_table() {
  diff <(echo "$table_names") <(nm -D --defined-only "$prefix/lib/libtarvelin.so.3" | awk '{print $3}' | sort)
}
check "installed library exports the table's $(grep -vc '^tarvelin_' <<<"$table_names") classic and \
$(grep -c '^tarvelin_' <<<"$table_names") handle names" exports_table

check "installed: tarvelin(3), tarvelin-board(1), the HTML reference" \
  test -f "$prefix/share/man/man3/tarvelin.3" -a -f "$prefix/share/man/man1/tarvelin-board.1" \
  -a -f "$prefix/share/doc/tarvelin/html/index.html"

readme_example >"$work/example.c"
check "the README's example is examples/c/example.c" diff -u examples/c/example.c "$work/example.c"

# 1. pkg-config, with the compile line the README gives.
pc_build() {
  cc -Wall -Wextra -Werror -o "$work/example-pc" "$work/example.c" \
    $(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs tarvelin)
}
check "pkg-config: version $version" \
  bash -c "[ \"\$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --modversion tarvelin)\" = $version ]"
check "pkg-config: builds" pc_build
check "pkg-config: needs libtarvelin.so.3" needs_soname "$work/example-pc"
# No RPATH in this build: the loader is told where the prefix's library is.
pc_run() {
  LD_LIBRARY_PATH=$prefix/lib runs_against_board "$work/example-pc"
}
check "pkg-config: runs against the board" pc_run
pc_two_build() {
  local line flags
  line=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs tarvelin) || return 1
  read -ra flags <<<"$line"
  cc -Wall -Wextra -Werror -pthread -o "$work/two_boards-pc" examples/c/two_boards.c "${flags[@]}" &&
    c++ -std=c++17 -Wall -Wextra -Werror -pthread -o "$work/two_boards_cpp-pc" examples/cpp/two_boards.cpp "${flags[@]}"
}
check "pkg-config: builds the two-board examples, C and C++" pc_two_build
pc_two_run() {
  LD_LIBRARY_PATH=$prefix/lib runs_two_boards "$1"
}
check "pkg-config: the C two-board example drives both boards at once" pc_two_run "$work/two_boards-pc"
check "pkg-config: the C++ two-board example drives both boards at once" pc_two_run "$work/two_boards_cpp-pc"

# 2. find_package(tarvelin) through the installed CMake package.
fp_build() {
  cmake -S examples/cmake -B "$work/fp" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" &&
    cmake --build "$work/fp"
}
check "find_package: builds" fp_build
check "find_package: needs libtarvelin.so.3" needs_soname "$work/fp/example"
check "find_package: runs against the board (RPATH to the prefix)" runs_against_board "$work/fp/example"
check "find_package: the C two-board example drives both boards at once" runs_two_boards "$work/fp/two_boards"
check "find_package: the C++ two-board example drives both boards at once" runs_two_boards "$work/fp/two_boards_cpp"

# 3. add_subdirectory of the source tree, without the tests or the tools.
sub_build() {
  cmake -S tests/consumer/subproject -B "$work/sub" -G Ninja -DTARVELIN_SOURCE_DIR="$root" &&
    cmake --build "$work/sub" -j2 --target example two_boards_cpp
}
check "add_subdirectory: builds the library alone and the examples" sub_build
check "add_subdirectory: needs libtarvelin.so.3" needs_soname "$work/sub/example"
check "add_subdirectory: runs against the board" runs_against_board "$work/sub/example"
check "add_subdirectory: the C++ two-board example drives both boards at once" runs_two_boards "$work/sub/two_boards_cpp"

# A top-level build on a machine without GoogleTest: the library and tools, no tests.
no_gtest() {
  cmake -S . -B "$work/no-gtest" -G Ninja -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON | tee "$work/no-gtest.txt" &&
    grep -q 'GoogleTest not found' "$work/no-gtest.txt" &&
    ! grep -q 'unit_tests' "$work/no-gtest/build.ninja" && grep -q 'libtarvelin.so' "$work/no-gtest/build.ninja"
}
check "configures without GoogleTest, leaving the tests out" no_gtest

# The Linux packages of the installed tree.
tgz_and_deb() {
  (cd "$build" && cpack -G "TGZ;DEB") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; return 1; }
  local tgz deb
  tgz=$(ls "$build"/package/tarvelin-$version-linux-*.tar.gz) && deb=$(ls "$build"/package/tarvelin_${version}_*.deb) || return 1
  tar tzf "$tgz" | tee "$work/tgz.txt"
  grep -q '/lib/libtarvelin.so.3$' "$work/tgz.txt" && grep -q '/lib/pkgconfig/tarvelin.pc$' "$work/tgz.txt" &&
    grep -q '/include/tarvelin.h$' "$work/tgz.txt" && grep -q '/include/tarvelin.hpp$' "$work/tgz.txt" || return 1
  dpkg-deb -c "$deb" | tee "$work/deb.txt"
  dpkg-deb -f "$deb" Package Version Depends
  grep -q ' ./usr/lib/libtarvelin.so.3 -> ' "$work/deb.txt" && grep -q ' ./usr/include/tarvelin.h$' "$work/deb.txt" &&
    grep -q ' ./usr/include/tarvelin.hpp$' "$work/deb.txt" &&
    [ "$(dpkg-deb -f "$deb" Version)" = $version ]
}
check "cpack: tar.gz and .deb hold the library, headers and pkg-config file" tgz_and_deb

# 4. The Windows package's CMake config with mingw-w64; the 64-bit programs under wine64.
zip=$root/build/package/TARVELIN-$version-windows.zip
if [ ! -f "$zip" ]; then
  failed=$((failed + 1))
  echo "consumer: FAIL $zip not made (bash scripts/package_windows.sh)"
else
  (cd "$work" && cmake -E tar xf "$zip")
  package=$work/TARVELIN-$version-windows
  mingw_build() {
    local arch=$1 toolchain=$2
    cmake -S examples/cmake -B "$work/mingw-$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
      -DCMAKE_PREFIX_PATH="$package" -DCMAKE_EXE_LINKER_FLAGS=-static &&
      cmake --build "$work/mingw-$arch" --target example &&
      cmp "$work/mingw-$arch/TARVELIN.DLL" "$package/$arch/TARVELIN.DLL" &&
      objdump -f "$work/mingw-$arch/example.exe" | grep -F "file format $format" &&
      objdump -p "$work/mingw-$arch/example.exe" | grep -F 'DLL Name: TARVELIN.DLL'
  }
  check "Windows package: find_package with x86_64 mingw picks x64" \
    env format=pei-x86-64 bash -c "$(declare -f mingw_build); work=$work root=$root package=$package mingw_build x64 toolchain-x86_64-w64-mingw32.cmake"
  check "Windows package: find_package with i686 mingw picks x86" \
    env format=pei-i386 bash -c "$(declare -f mingw_build); work=$work root=$root package=$package mingw_build x86 toolchain-i686-w64-mingw32.cmake"
  check "Windows package: holds tarvelin.hpp beside tarvelin.h" test -f "$package/include/tarvelin.hpp"
  # After the x64 and x86 configurations above.
  mingw_two_build() {
    local arch=$1 program
    cmake --build "$work/mingw-$arch" --target two_boards two_boards_cpp || return 1
    for program in two_boards two_boards_cpp; do
      objdump -p "$work/mingw-$arch/$program.exe" | grep -F 'DLL Name: TARVELIN.DLL' || return 1
    done
  }
  check "Windows package: the two-board examples build with x86_64 mingw" mingw_two_build x64
  check "Windows package: the two-board examples build with i686 mingw" mingw_two_build x86
  packaged_python() {
    local python=/usr/bin/python3
    [ -x "$python" ] || python=python3
    "$python" -m pip install --quiet --no-build-isolation --no-deps --target "$work/site" "$package/bindings/python" &&
      ls "$work/site" | tee /dev/stderr | grep -qx "tarvelin-$version.dist-info"
  }
  check "Windows package: its Python binding installs with pip, version $version" packaged_python
  wineserver=$(command -v wineserver 2>/dev/null || echo /usr/lib/wine/wineserver64)
  [ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
  under_wine() {
    wineprefix=$(mktemp -d "${TMPDIR:-/tmp}/tarvelin-consumer-wine.XXXXXX") || return 1
    export WINEPREFIX=$wineprefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"COM3"="%s"\n"COM4"="%s"\n' "$slave_a" "$slave_b" \
      >"$work/ports.reg"
    timeout 180 "$wine" regedit /S "Z:${work//\//\\}\\ports.reg" </dev/null >"$work/wine.log" 2>&1 || return 1
    # The port mapping is read when the wineserver starts.
    timeout 20 "$wineserver" -k </dev/null >/dev/null 2>&1
    timeout 20 "$wineserver" -w </dev/null >/dev/null 2>&1
    # Into a file, not a pipe: a wineserver started by the run would hold a pipe open.
    (cd "$work/mingw-x64" && timeout -k 5 60 "$wine" example.exe </dev/null >"$work/wine.out" 2>>"$work/wine.log")
    local status=$?
    tr -d '\r' <"$work/wine.out" | tee "$work/wine.txt"
    [ "$status" -eq 0 ] && grep -Fxq "$version_text" "$work/wine.txt" && grep -Eq '^port B: -?[0-9]+$' "$work/wine.txt"
  }
  # A two-board program on COM3 and COM4, after under_wine has set the prefix up.
  wine_two_boards() {
    local since_a since_b status
    since_a=$(wire_size a)
    since_b=$(wire_size b)
    (cd "$work/mingw-x64" && timeout -k 5 90 "$wine" "$1" COM3 COM4 </dev/null >"$work/wine.out" 2>>"$work/wine.log")
    status=$?
    tr -d '\r' <"$work/wine.out" | tee "$work/wine.txt"
    [ "$status" -eq 0 ] && two_boards_output COM3 COM4 "$(cat "$work/wine.txt")" && wires_apart "$since_a" "$since_b"
  }
  if [ -x "$wine" ]; then
    check "Windows package: the mingw x64 example runs under wine64 against the board" under_wine
    check "Windows package: the C two-board example drives both boards under wine64" wine_two_boards two_boards.exe
    check "Windows package: the C++ two-board example drives both boards under wine64" wine_two_boards \
      two_boards_cpp.exe
  else
    failed=$((failed + 1))
    echo "consumer: FAIL $wine not installed (Debian package wine64)"
  fi
fi

echo "consumer: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
