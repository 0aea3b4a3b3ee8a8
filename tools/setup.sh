#!/usr/bin/env bash
# Installs the Debian packages a lane needs when they are missing (as root).
#   tools/setup.sh native   the Linux library, the board, the tools, the tests (the panel's
#                           browser lane included: Chromium, its driver, selenium)
#   tools/setup.sh all      also mingw-w64 and wine64 for the Windows products
set -euo pipefail
lane=${1:-all}
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev python3 pkg-config libcli11-dev libfmt-dev gnuplot-nox help2man
  libcpp-httplib-dev nlohmann-json3-dev chromium chromium-driver python3-selenium)
# The panel's chart library comes from the npm registry: npm from Debian when the machine has none.
command -v npm >/dev/null || packages+=(npm)
if [ "$lane" = all ]; then
  packages+=(clang libclang-rt-14-dev g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64 wine64 llvm lld
    doxygen help2man mono-mcs python3-setuptools python3-pip dpkg-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
