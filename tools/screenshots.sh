#!/usr/bin/env bash
# Pictures of what the dispatcher sees: the main window with a few vehicles in the
# grid, the first page of the summary report, and the second page of a report of 40
# vehicles (a list running over, with its column headings repeated), made under Xvfb (a
# virtual display), so no real screen is needed. They go to build/screenshots/ (or the
# directory given).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/screenshots}"

tools/install-packages.sh xvfb xauth

./setup.sh --no-run
cmake --build build --target screenshots
xvfb-run -a -s "-screen 0 1600x1000x24" env QT_QPA_PLATFORM=xcb build/bin/screenshots "$out"
# The fleet map page with 50 simulated units, desktop and phone sized, taken by the
# page's browser test in Debian's chromium.
cmake --build build --target serwerd test_e2e
SERWER_SCREENSHOTS="$out" build/bin/test_e2e --gtest_filter='MapPageBrowser.*'
