#!/usr/bin/env bash
# Puts the header-only httplib.h of Debian's cpp-httplib source package (the
# version Debian ships, its patches applied) into DIR, for the Windows builds:
# Debian's binary package holds a header split off for its Linux library.
# apt-get runs with a sources list and lists of its own in a scratch folder:
# the system's configuration is left as it is.
#   fetch_httplib.sh DIR
set -euo pipefail
dir=$1
# Already there: marked as new, so that the build does not ask again.
[ -f "$dir/httplib.h" ] && { touch "$dir/httplib.h"; exit 0; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarvelin-httplib.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/lists/partial" "$scratch/cache/archives/partial" "$scratch/src"
echo "deb-src http://deb.debian.org/debian bookworm main" >"$scratch/sources.list"
apt_options=(-q -o "Dir::Etc::SourceList=$scratch/sources.list" -o Dir::Etc::SourceParts=/nonexistent
  -o "Dir::State::Lists=$scratch/lists" -o "Dir::Cache=$scratch/cache" -o APT::Sandbox::User=root)
apt-get "${apt_options[@]}" update >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log" >&2; exit 1; }
# The version of the installed Linux package, so that both sides build the same server.
version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev 2>/dev/null || true)
package=cpp-httplib${version:+=$version}
(cd "$scratch/src" && apt-get "${apt_options[@]}" source --download-only "$package" >>"$scratch/apt.log" 2>&1) ||
  { cat "$scratch/apt.log" >&2; exit 1; }
dpkg-source -x "$scratch"/src/*.dsc "$scratch/tree" >>"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log" >&2; exit 1; }
mkdir -p "$dir"
cp "$scratch/tree/httplib.h" "$dir/httplib.h.part"
cp "$scratch/tree/LICENSE" "$dir/LICENSE"
mv "$dir/httplib.h.part" "$dir/httplib.h"
echo "cpp-httplib ${version:-(newest)} from Debian's source package: $dir/httplib.h"
