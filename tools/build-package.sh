#!/usr/bin/env bash
# Builds the Debian packages serwer (the server without a window, its tools, settings,
# service unit and log rotation) and serwer-okno (the operator window) into
# <build dir>/package/, then checks them: systemd-analyze verify on the installed unit,
# lintian (a warning not explained in packaging/lintian/ fails), and the tests of the
# installed package (tests/e2e/InstalledPackageTest.cpp).
#   tools/build-package.sh             build/ and build/package/
#   tools/build-package.sh build-pkg   another build directory
set -euo pipefail
cd "$(dirname "$0")/.."
dir="$(realpath -m "${1:-build}")"
out="$dir/package"

./setup.sh --deps-only
tools/install-packages.sh lintian systemd

flags=(-DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON)  # cpack installs only the packaged targets
[ -f "$dir/CMakeCache.txt" ] || flags+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DSERWER_WERROR="${SERWER_WERROR:-OFF}")
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
targets=(serwerd historia konta symulator package_changelog test_e2e)
grep -q '^SERWER_BUILD_WINDOW:BOOL=ON' "$dir/CMakeCache.txt" && targets+=(serwer)
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"

rm -rf "$out"
(cd "$dir" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/*.deb

root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
dpkg -x "$out"/serwer_*.deb "$root"
# The installed unit, its program taken from the unpacked package. verify ends with 0
# after a line it could not parse, so anything it says is a failure.
sed "s#^ExecStart=/usr/bin/serwerd #ExecStart=$root/usr/bin/serwerd #" \
  "$root/lib/systemd/system/serwerd.service" > "$root/serwerd.service"
said="$(systemd-analyze verify "$root/serwerd.service" 2>&1)" || { echo "$said" >&2; exit 1; }
[ -z "$said" ] || { echo "systemd-analyze verify: $said" >&2; exit 1; }

lintian --fail-on error,warning --tag-display-limit 0 "$out"/*.deb

SERWER_PACKAGE_DIR="$out" "$dir/bin/test_e2e" --gtest_filter='InstalledPackage.*' --gtest_brief=1
echo "Packages in $out"
