#!/usr/bin/env bash
# Builds the project and runs the whole test suite.
#   ./run-tests.sh             normal build in build/
#   ./run-tests.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
# The history's tests run against SQLite and against a PostgreSQL 15 started for them
# (tools/test-postgres.sh) and stopped afterwards.
# SERWER_WERROR=ON in the environment turns warnings into errors (CI does this).
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh --deps-only

dir=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DSERWER_SANITIZE=ON -DSERWER_BUILD_BENCH=OFF)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
flags+=(-DSERWER_WERROR="${SERWER_WERROR:-OFF}")
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
# The stores' tests run against SQLite and against a PostgreSQL of their own.
pg=$(mktemp -d /tmp/serwer-pg-XXXXXX)
trap 'tools/test-postgres.sh stop "$pg"; rm -rf "$pg"' EXIT
SERWER_TEST_POSTGRES=$(tools/test-postgres.sh start "$pg")
export SERWER_TEST_POSTGRES
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)"
