#!/usr/bin/env bash
# The panel in a real browser: the virtual board, `tarvelin panel` on a free
# port and headless Chromium (Debian's chromium, chromium-driver and
# python3-selenium) doing what a user does (tests/panel/panel_test.py).
#
#   cmake --preset native && cmake --build build/native --target tarvelin-cli tarvelin-board
#   bash tests/panel/run_panel.sh
#
# Ends with "panel: N passed, N failed"; the page's screenshot is kept as
# build/panel/panel.png.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
bin=${TARVELIN_BIN:-$(pwd)/build/native}
for f in "$bin/tarvelin" "$bin/tarvelin-board" /usr/bin/chromium /usr/bin/chromedriver; do
  [ -x "$f" ] || { echo "run_panel: $f missing (build the tools; tools/setup.sh installs the browser)" >&2; exit 1; }
done
# Debian's selenium belongs to the system's Python, whatever python3 is first on PATH.
py=/usr/bin/python3
"$py" -c 'import selenium' 2>/dev/null || { echo "run_panel: python3-selenium missing" >&2; exit 1; }
exec "$py" tests/panel/panel_test.py "$bin" "$(pwd)/build/panel"
