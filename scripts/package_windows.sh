#!/usr/bin/env bash
# Makes the Windows package build/package/TARVELIN-<version>-windows.zip with
# cpack from the two built DLL trees (packaging/CMakeLists.txt), lists it, and
# checks that it holds exactly the expected files and that its DLLs and import
# libraries are byte for byte the built ones.
#
#   cmake --preset win32 && cmake --build build/win32
#   cmake --preset win64 && cmake --build build/win64
#   cmake --build build/native --target docs       (the HTML reference)
#   bash scripts/package_windows.sh
#
# Environment: TARVELIN_WIN32_DIR, TARVELIN_WIN64_DIR (the build trees, default
# build/win32 and build/win64), TARVELIN_DOCS_HTML_DIR (the HTML reference,
# default build/native/docs/html), TARVELIN_PACKAGE_DIR (where the ZIP goes,
# default build/package), TARVELIN_PACKAGE_TREE (cpack's build tree, default
# build/package-tree). Ends with "package: <zip>, N files"; exits nonzero on
# any problem.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)

absolute() { case "$1" in /*) echo "$1" ;; *) echo "$root/$1" ;; esac; }
win32_dir=$(absolute "${TARVELIN_WIN32_DIR:-build/win32}")
win64_dir=$(absolute "${TARVELIN_WIN64_DIR:-build/win64}")
out_dir=$(absolute "${TARVELIN_PACKAGE_DIR:-build/package}")
tree=$(absolute "${TARVELIN_PACKAGE_TREE:-build/package-tree}")
html=$(absolute "${TARVELIN_DOCS_HTML_DIR:-build/native/docs/html}")

fail() {
  echo "package: FAIL $*" >&2
  exit 1
}

version=$(sed -n 's/^project(tarvelin VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt | head -n 1)
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
top=TARVELIN-$version-windows
zip=$out_dir/$top.zip

log=$(mktemp "${TMPDIR:-/tmp}/tarvelin-package.XXXXXX") || fail "cannot make a log file"
unpacked=$(mktemp -d "${TMPDIR:-/tmp}/tarvelin-package.XXXXXX") || fail "cannot make a folder"
trap 'rm -rf "$log" "$unpacked"' EXIT

# The reference is made from the header by the native tree's docs target.
if [ ! -f "$html/index.html" ] && [ -z "${TARVELIN_DOCS_HTML_DIR:-}" ] && [ -f build/native/CMakeCache.txt ]; then
  cmake --build build/native --target docs >"$log" 2>&1 || { cat "$log" >&2; fail "building the reference failed"; }
fi
if ! cmake -S packaging -B "$tree" -DTARVELIN_WIN32_DIR="$win32_dir" -DTARVELIN_WIN64_DIR="$win64_dir" \
  -DTARVELIN_DOCS_HTML_DIR="$html" -DTARVELIN_PACKAGE_DIR="$out_dir" >"$log" 2>&1; then
  cat "$log" >&2
  fail "configuring packaging/ failed"
fi
rm -f "$zip"
if ! (cd "$tree" && cpack -G ZIP) >"$log" 2>&1; then
  cat "$log" >&2
  fail "cpack failed"
fi
[ -f "$zip" ] || fail "cpack made no $zip"
# cpack's staging folder is left beside the ZIP; only the ZIP is the product.
rm -rf "$out_dir/_CPack_Packages"

echo "package: $zip"
listing=$(cd "$unpacked" && cmake -E tar tf "$zip" 2>&1) || fail "cannot list $zip: $listing"
files=$(grep -v '/$' <<<"$listing" | sort)
while read -r file; do echo "   $file"; done <<<"$files"

# Package path and the file it must equal ("" for files made by the packaging).
expected=(
  "README-windows.txt|"
  "LICENSE.txt|"
  "CHANGELOG.txt|"
  "include/tarvelin.h|$root/include/tarvelin.h"
  "include/tarvelin.hpp|$root/include/tarvelin.hpp"
  "lib/cmake/tarvelin/tarvelinConfig.cmake|$root/packaging/windows/tarvelinConfig.cmake"
  "lib/cmake/tarvelin/tarvelinConfigVersion.cmake|"
  "x64/TARVELIN.DLL|$win64_dir/TARVELIN.DLL"
  "x64/TARVELIN.lib|$win64_dir/TARVELIN.lib"
  "x64/TARVELIN.def|$win64_dir/tarvelin_x86_64.def"
  "x64/libtarvelin.dll.a|$win64_dir/libtarvelin.dll.a"
  "x64/tarvelin.exe|$win64_dir/tarvelin.exe"
  "x86/TARVELIN.DLL|$win32_dir/TARVELIN.DLL"
  "x86/TARVELIN.lib|$win32_dir/TARVELIN.lib"
  "x86/TARVELIN.def|$win32_dir/tarvelin_i686.def"
  "x86/libtarvelin.dll.a|$win32_dir/libtarvelin.dll.a"
  "x86/tarvelin.exe|$win32_dir/tarvelin.exe"
)
# The examples and the bindings as they are in the source tree (the bindings'
# own tests and build leftovers stay out).
while read -r file; do
  expected+=("$file|$root/$file")
done < <(find examples -type f | sort)
for binding in vb dotnet python; do
  [ -d "bindings/$binding" ] || continue
  while read -r file; do
    expected+=("$file|$root/$file")
  done < <(find "bindings/$binding" \( -name tests -o -name __pycache__ -o -name '*.egg-info' -o -name build \) -prune \
    -o -type f -print | sort)
done
[ -d bindings/python ] && expected+=("bindings/python/version.txt|")
# The HTML reference as built.
while read -r file; do
  expected+=("doc/html/$file|$html/$file")
done < <(cd "$html" && find . -type f | sed 's|^\./||' | sort)
want=$(for entry in "${expected[@]}"; do echo "$top/${entry%%|*}"; done | sort)
if [ "$files" != "$want" ]; then
  diff <(echo "$want") <(echo "$files") | sed -n 's/^< /   missing: /p; s/^> /   unexpected: /p' >&2
  fail "$zip does not hold exactly the expected files"
fi

(cd "$unpacked" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
problems=0
for entry in "${expected[@]}"; do
  path=${entry%%|*}
  source=${entry#*|}
  if [ -n "$source" ] && ! cmp -s "$unpacked/$top/$path" "$source"; then
    echo "package: FAIL $path differs from $source" >&2
    problems=$((problems + 1))
  fi
done
# The texts in Windows form: every line ends in CR LF; the README names the version.
for text in README-windows.txt LICENSE.txt CHANGELOG.txt; do
  if grep -q $'[^\r]$' "$unpacked/$top/$text"; then
    echo "package: FAIL $text has lines without CR LF" >&2
    problems=$((problems + 1))
  fi
done
if ! head -n 1 "$unpacked/$top/README-windows.txt" | grep -q "^TARVELIN $version for Windows"; then
  echo "package: FAIL README-windows.txt does not begin with 'TARVELIN $version for Windows'" >&2
  problems=$((problems + 1))
fi
[ "$problems" -eq 0 ] || fail "$problems files of the package are not what was built"
echo "package: $zip, $(wc -l <<<"$files") files, $(stat -c %s "$zip") bytes"
