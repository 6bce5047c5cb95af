#!/usr/bin/env bash
# Pictures of what the dispatcher sees: the main window with a few vehicles in the
# grid and the first page of the summary report, made under Xvfb (a virtual display),
# so no real screen is needed. They go to build/screenshots/ (or the directory given).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/screenshots}"

missing=()
for p in xvfb xauth; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi

./setup.sh --no-run
cmake --build build --target screenshots
xvfb-run -a -s "-screen 0 1600x1000x24" env QT_QPA_PLATFORM=xcb build/bin/screenshots "$out"
