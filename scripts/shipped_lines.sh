#!/usr/bin/env bash
# Lines of src/ that the Linux library is built from: every source and header
# except the win32 side of the seam. With a revision, as of that revision.
set -eu
rev=${1:-HEAD}
git ls-tree -r "$rev" --name-only src | grep -E '\.(cpp|h)$' | grep -v '^src/platform/win32/' |
  while read -r file; do git show "$rev:$file" | wc -l; done | awk '{n += $1} END {print n}'
