#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite:
#   1. normal build, every test (the Qt window's offscreen and, under Xvfb, with Qt's xcb platform);
#   2. ASan+UBSan build, every test;
#   3. TSan build of the core, the tools and the window's presenter, the tests labelled "threaded";
#   4. the libFuzzer targets (clang, ASan+UBSan), each for a bounded time;
#   5. the Ansible collection: its unit tests, ansible-test sanity, its tarball, and an integration run of its
#      playbook against five venues of simulated devices (scripts/test-ansible.sh);
#   6. the Debian packages: built, checked, installed, tried and purged (as root only);
#   7. the Windows cross build (mingw-w64) with its zip and MSI, and its tests under Wine on an Xvfb of their
#      own: the window fwupdate.exe driven from outside (also at 125 % and 150 % scale), fwupdate-cli.exe and
#      fwdevsim.exe against the Linux programs, the MSI installed, run, upgraded and removed
#      (scripts/build-windows.sh, scripts/test-windows.sh).
# Exits non-zero when any step fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh

fuzz_seconds=${FWUPDATE_FUZZ_SECONDS:-30}
jobs=$(nproc)
# Most tests spend their time waiting for a device's timers (the CPU was a quarter busy with one test per
# core), so four run per core.
test_jobs=$((jobs * 4))

started=$SECONDS
# Each step's duration is printed when it ends, and all of them again at the end.
current=""
current_started=$SECONDS
durations=()
end_step() {
  if [ -n "$current" ]; then
    local took=$((SECONDS - current_started))
    printf '=== %s took %d s ===\n' "$current" "$took"
    durations+=("$(printf '%6d s  %s' "$took" "$current")")
  fi
}
# A failing step still gets its duration printed.
trap 'if [ -n "$current" ]; then end_step; echo "=== failed in: $current ==="; fi' EXIT
step() {
  end_step
  current=$*
  current_started=$SECONDS
  printf '\n=== %s (at %d s) ===\n' "$*" $((SECONDS - started))
}

step "normal build"
# The packages' compiler flags: the package step then takes most of its objects from the compiler cache.
(source scripts/release-flags.sh
 bash scripts/build.sh build "${release_flags[@]}" -DFWUPDATE_SANITIZE= -DFWUPDATE_GUI=ON -DFWUPDATE_TESTS=ON \
   -DFWUPDATE_BENCHMARKS=ON -DFWUPDATE_FUZZ=OFF)
step "normal tests"
(cd build && ctest --output-on-failure --no-tests=error -j "$test_jobs")

step "ASan+UBSan build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$top/tests/lsan.supp
# Line tables only (-g1): the sanitizers' reports name file and line, and full debugging information took a
# large part of these builds' time.
bash scripts/build.sh build-asan -DFWUPDATE_SANITIZE=address -DFWUPDATE_GUI=ON -DFWUPDATE_TESTS=ON \
  -DFWUPDATE_BENCHMARKS=OFF -DFWUPDATE_FUZZ=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1
step "ASan+UBSan tests"
(cd build-asan && ctest --output-on-failure --no-tests=error -j "$test_jobs")

step "TSan build"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
# Only the threaded tests run here, so only they (and the programs they start) are built.
FWUPDATE_BUILD_TARGET=fw_threaded_tests bash scripts/build.sh build-tsan -DFWUPDATE_SANITIZE=thread -DFWUPDATE_GUI=OFF -DFWUPDATE_TESTS=ON \
  -DFWUPDATE_BENCHMARKS=OFF -DFWUPDATE_FUZZ=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1
step "TSan tests (threaded)"
(cd build-tsan && ctest --output-on-failure --no-tests=error -j "$test_jobs" -L threaded)

step "fuzz build"
# Optimised (ASan and UBSan stay on): unoptimised code runs the targets several times slower.
# Only the fuzz targets and what they need are built, with line tables only.
CXX=clang++ FWUPDATE_BUILD_TARGET=fw_fuzz_targets bash scripts/build.sh build-fuzz -DFWUPDATE_FUZZ=ON \
  -DFWUPDATE_SANITIZE= -DFWUPDATE_GUI=OFF -DFWUPDATE_TESTS=OFF -DFWUPDATE_BENCHMARKS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
step "fuzzing (${fuzz_seconds} s per target)"
shopt -s nullglob
# One fuzz target per core at a time (a target runs on one core).
fuzz_one() {
  local f=$1 name
  name=$(basename "$f")
  # The first folder collects what the run finds; the seeds in the repository are read only.
  mkdir -p "build-fuzz/corpus/$name"
  local seeds=()
  [ -d "fuzz/corpus/${name#fuzz_}" ] && seeds=("fuzz/corpus/${name#fuzz_}")
  if ! "$f" -max_total_time="$fuzz_seconds" -print_final_stats=1 "build-fuzz/corpus/$name" "${seeds[@]}" \
    >"build-fuzz/$name.log" 2>&1; then
    tail -n 60 "build-fuzz/$name.log" >&2
    echo "fuzzing $name found a failure (build-fuzz/$name.log)" >&2
    return 1
  fi
  echo "fuzzed $name:" $(grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "build-fuzz/$name.log")
}
fuzzed=0
fuzz_failed=0
running=()
for f in build-fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  fuzz_one "$f" &
  running+=($!)
  fuzzed=$((fuzzed + 1))
  if [ ${#running[@]} -ge "$jobs" ]; then
    wait "${running[0]}" || fuzz_failed=1
    running=("${running[@]:1}")
  fi
done
for pid in "${running[@]}"; do wait "$pid" || fuzz_failed=1; done
[ "$fuzz_failed" -eq 0 ] || exit 1
[ "$fuzzed" -gt 0 ] || { echo "no fuzz targets were built" >&2; exit 1; }

step "Ansible collection"
bash scripts/test-ansible.sh build

step "Debian packages"
if [ "$(id -u)" -eq 0 ]; then
  bash scripts/check-packages.sh
else
  echo "skipped: installing the packages needs root (run scripts/check-packages.sh as root)"
fi

step "Windows build (mingw-w64), zip and MSI"
bash scripts/build-windows.sh
step "Windows tests under Wine"
bash scripts/test-windows.sh

end_step
current=""
echo
echo "=== all test steps passed ==="
printf '%s\n' "${durations[@]}"
echo "the test command took $((SECONDS - started)) s"
