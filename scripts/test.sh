#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite:
#   1. normal build, every test;
#   2. ASan+UBSan build, every test;
#   3. TSan build of the core and tools, the tests labelled "threaded";
#   4. the libFuzzer targets (clang, ASan+UBSan), each for a bounded time;
#   5. the Windows cross build (mingw-w64) and its tests under Wine, with fwupdate-cli.exe and
#      fwdevsim.exe against the Linux programs (scripts/build-windows.sh, scripts/test-windows.sh).
# Exits non-zero when any step fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh

fuzz_seconds=${FWUPDATE_FUZZ_SECONDS:-60}
jobs=$(nproc)

step() { printf '\n=== %s ===\n' "$*"; }

step "normal build"
bash scripts/build.sh build -DFWUPDATE_BENCHMARKS=ON
(cd build && ctest --output-on-failure -j "$jobs")

step "ASan+UBSan build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$top/tests/lsan.supp
bash scripts/build.sh build-asan -DFWUPDATE_SANITIZE=address -DFWUPDATE_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ctest --output-on-failure -j "$jobs")

step "TSan build (threaded tests)"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
bash scripts/build.sh build-tsan -DFWUPDATE_SANITIZE=thread -DFWUPDATE_GUI=OFF -DFWUPDATE_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug
(cd build-tsan && ctest --output-on-failure -j "$jobs" -L threaded)

step "fuzzing (${fuzz_seconds} s per target)"
CXX=clang++ bash scripts/build.sh build-fuzz -DFWUPDATE_FUZZ=ON -DFWUPDATE_GUI=OFF -DFWUPDATE_TESTS=OFF \
  -DFWUPDATE_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug
shopt -s nullglob
for f in build-fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  echo "fuzzing $f"
  mkdir -p "build-fuzz/corpus/$(basename "$f")"
  "$f" -max_total_time="$fuzz_seconds" -print_final_stats=1 "build-fuzz/corpus/$(basename "$f")"
done

step "Windows build (mingw-w64) and its tests under Wine"
bash scripts/build-windows.sh
wine_started=$(date +%s)
bash scripts/test-windows.sh
echo "Windows tests under Wine: $(( $(date +%s) - wine_started )) s"

step "all test steps passed"
