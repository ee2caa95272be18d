#!/usr/bin/env bash
# Set up a fresh Debian machine, then run every check the project has:
# the whole test suite under address and undefined-behaviour sanitizers,
# the fuzz targets (corpus replay plus a short run), and last the test
# suite of the normal build, whose summary ends the output.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=2
fuzz_seconds=${QUORVEL_FUZZ_SECONDS:-30}

echo "== sanitizer build (address, undefined)"
# Debug keeps every assertion; -O1, as the sanitizers' own guides advise,
# halves the time of the tests that draw whole pages (the checks are the
# same ones).
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DQUORVEL_SANITIZE=ON >/dev/null
ninja -C build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure

echo "== fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVEL_FUZZ=ON -DQUORVEL_TESTS=OFF >/dev/null
ninja -C build-fuzz -j"$jobs"
for target in build-fuzz/fuzz/fuzz_*; do
  name=${target##*/fuzz_}
  corpus=fuzz/corpus/$name
  work=$(mktemp -d)
  # libcups sizes its line buffer from the header, so a fuzzed header may
  # ask it for gigabytes that it never touches: allow the allocation.
  status=0
  "$target" -close_fd_mask=3 -malloc_limit_mb=8192 -rss_limit_mb=4096 -timeout=30 \
    -max_len=8192 -max_total_time="$fuzz_seconds" -print_final_stats=1 "$work" "$corpus" \
    >"$work.log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|SUMMARY)' "$work.log" | sed "s/^/$name: /" || true
  # Undefined behaviour is reported and the run goes on; it still fails the target.
  if grep -q '^SUMMARY' "$work.log"; then
    status=1
  fi
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work.log"
    echo "fuzz target $name failed"
    exit 1
  fi
  rm -f "$work.log"
  rm -rf "$work"
done

echo "== build and test"
cmake -S . -B build -G Ninja >/dev/null
ninja -C build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure
