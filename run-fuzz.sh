#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each of them on a copy
# of its seed corpus from tests/fuzz/corpus/<target>/.
#   ./run-fuzz.sh                      every target for 20 s
#   ./run-fuzz.sh --time 60            every target for 60 s
#   ./run-fuzz.sh --runs 10000000      every target for 10 million executions
#   ./run-fuzz.sh fuzz_dump ...        only the targets named
#   --keep                             keep the scratch directory after a clean run
# Exits non-zero when a target crashes (or breaks one of its expectations), after
# printing where the input that did it was saved. Extra libFuzzer flags can be given in
# FUZZ_FLAGS (e.g. FUZZ_FLAGS=-jobs=2); FUZZ_TIMEOUT is the seconds one input may take
# (default 120: generous, as a busy machine stretches the wall clock).
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

seconds=20
runs=""
keep=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --time) seconds="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    fuzz_*) targets+=("$1"); shift ;;
    *) echo "run-fuzz.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

# clang with its fuzzer and sanitizer runtimes, and what the build itself needs.
tools/install-packages.sh clang libclang-rt-14-dev libpq-dev cmake ninja-build pkg-config libgtest-dev libcpp-httplib-dev libcctz-dev tzdata \
  libboost-dev nlohmann-json3-dev libjs-leaflet libjs-leaflet.markercluster libcurl4-openssl-dev libsqlite3-dev libssl-dev \
  libxlsxwriter-dev libsodium-dev

# The core is instrumented for coverage and built with both sanitizers; the standard
# library's own bounds checks catch reads past a string's end that stay inside its buffer.
# The standard library's functions are left out of the coverage (they only slow the
# fuzzers down). -O1 without NDEBUG, so the core's own checks stay on.
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja \
  -DSERWER_FUZZ=ON -DSERWER_BUILD_WINDOW=OFF -DSERWER_BUILD_BENCH=OFF -DSERWER_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSERWER_WERROR="${SERWER_WERROR:-OFF}" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -D_GLIBCXX_ASSERTIONS -fsanitize-coverage-ignorelist=$root/tests/fuzz/coverage-ignorelist.txt" \
  >/dev/null

# The targets and the longest input worth trying on each, as tests/fuzz/CMakeLists.txt
# lists them.
declare -A MAX_LEN=()
all_targets=()
while read -r name max_len; do
  all_targets+=("$name")
  MAX_LEN[$name]=$max_len
done <"$build/fuzz-targets.txt"
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")
for t in "${targets[@]}"; do
  [ -n "${MAX_LEN[$t]:-}" ] || { echo "run-fuzz.sh: no such target $t" >&2; exit 2; }
done

# Only the fuzz targets: the test programs are built and run by run-tests.sh.
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/serwer-fuzz.XXXXXX")
echo "scratch directory: $scratch"
passed=0
failed=0
crashes=()
for t in "${targets[@]}"; do
  # The fuzzer adds what it finds to its corpus: a copy, so the tree stays as it is.
  mkdir -p "$scratch/$t/corpus" "$scratch/$t/artifacts"
  cp "$root/tests/fuzz/corpus/$t/"* "$scratch/$t/corpus/"
  limit=(-max_total_time="$seconds")
  [ -n "$runs" ] && limit=(-runs="$runs")
  log="$scratch/$t/fuzz.log"
  echo "== $t (${limit[*]})"
  start=$(date +%s)
  set +e
  "$build/bin/$t" "${limit[@]}" -max_len="${MAX_LEN[$t]}" -timeout="${FUZZ_TIMEOUT:-120}" -print_final_stats=1 \
    -artifact_prefix="$scratch/$t/artifacts/" ${FUZZ_FLAGS:-} "$scratch/$t/corpus" >"$log" 2>&1
  rc=$?
  set -e
  wall=$(( $(date +%s) - start ))
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  echo "   executions: ${execs:-?}  exec/s: ${rate:-?}  wall: ${wall} s"
  [ -n "$done_line" ] && echo "   $done_line"
  # Inputs that crashed, leaked, ran out of time or memory; a slow unit is only noted.
  artifacts=$(find "$scratch/$t/artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' \) 2>/dev/null)
  slow=$(find "$scratch/$t/artifacts" -type f -name 'slow-unit-*' | wc -l)
  [ "$slow" -gt 0 ] && echo "   slow inputs (over 10 s, not failures): $slow in $scratch/$t/artifacts"
  if [ "$rc" -ne 0 ] || [ -n "$artifacts" ]; then
    failed=$((failed + 1))
    echo "   FAILED (exit $rc), log: $log"
    grep -E 'ERROR: |expectation failed|runtime error|SUMMARY' "$log" | head -5 | sed 's/^/   /'
    for a in $artifacts; do
      echo "   crash input: $a"
      crashes+=("$a")
    done
  else
    passed=$((passed + 1))
  fi
done

if [ "$failed" -eq 0 ] && [ "$keep" -eq 0 ]; then
  rm -rf "$scratch"
fi
echo "fuzz: $passed passed, $failed failed"
if [ "$failed" -ne 0 ]; then
  [ ${#crashes[@]} -gt 0 ] && printf 'crash input: %s\n' "${crashes[@]}"
  exit 1
fi
