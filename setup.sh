#!/usr/bin/env bash
# Installs what the server needs from Debian's packages, builds it, and (unless told
# --no-run) starts it from build/bin with a default serwer.ini beside it: the operator
# window `serwer` when a display is available, otherwise `serwerd`, the server without
# a window.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libzip-dev libsqlite3-dev qt6-base-dev qt6-translations-l10n libgl-dev
          poppler-utils gdal-bin libjs-leaflet libjs-leaflet.markercluster chromium libsystemd-dev logrotate
          libcpp-httplib-dev libcctz-dev tzdata libboost-dev nlohmann-json3-dev libcurl4-openssl-dev python3-aiosmtpd
          libxlsxwriter-dev python3-openpyxl libpq-dev postgresql-15 libsodium-dev libssl-dev)
tools/install-packages.sh "${PACKAGES[@]}"

[ "${1:-}" = "--deps-only" ] && exit 0

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

[ "${1:-}" = "--no-run" ] && exit 0

if [ ! -f build/bin/serwer.ini ]; then
  cat > build/bin/serwer.ini <<'INI'
[Ustawienia]
Port=4500
Katalog=.
Odpytywac=1
Godzina=0
Pojazdy=
INI
fi
cd build/bin
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec ./serwer
fi
echo "No display: starting serwerd, the server without a window." >&2
exec ./serwerd
