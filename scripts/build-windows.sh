#!/usr/bin/env bash
# Cross-builds fwupdate for 64-bit Windows with mingw-w64 into build-windows/: fwupdate-cli.exe,
# fwdevsim.exe, mkfwcfg.exe and the tests of base/, crypto/, link/, update/ and tools/ (GoogleTest
# built from /usr/src/googletest). Checks that every program imports only Windows's own DLLs and
# writes the release archive build-windows/fwupdate-<version>-windows-x64.zip.
#   scripts/build-windows.sh [cmake options...]
# Left out of this build, and why: the window (no Qt for Windows here); rijndael_test and
# aes128_test (OpenSSL is their oracle; rijndael_tables_test still checks the cipher's tables);
# update_e2e_test, fwdevsim_test, cli_test and cfgwriter_test (they start child processes with
# posix_spawn). scripts/test-windows.sh runs the programs under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
out=build-windows

bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix googletest wine64

launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$out" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFWUPDATE_QT=OFF -DFWUPDATE_BENCHMARKS=OFF \
  -DFWUPDATE_GTEST_SOURCE=/usr/src/googletest \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
  "${launcher[@]}" "$@" | grep -E 'left out|Error|error' || true
cmake --build "$out" -j "$(nproc)"

echo "build-windows: not in this build: the window (no Qt for Windows here); rijndael_test and aes128_test" \
     "(OpenSSL is their oracle); cfgwriter_test, fwdevsim_test, cli_test, update_e2e_test (child processes" \
     "through posix_spawn): scripts/test-windows.sh runs the programs under Wine instead"

# Every program must run on a bare Windows: only the system's own DLLs, never the compiler's runtime.
allowed='^(kernel32|msvcrt|ws2_32|advapi32|user32|shell32|ole32|bcrypt|ntdll|api-ms-win-.*)\.dll$'
bad=0
while IFS= read -r exe; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}')
  for dll in $dlls; do
    if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
      echo "build-windows: $exe imports $dll (not a system DLL)" >&2
      bad=1
    fi
  done
  case "$exe" in
    */fwupdate-cli.exe|*/fwdevsim.exe) echo "build-windows: $exe imports:" $dlls ;;
  esac
done < <(find "$out/tools" "$out/tests" -name '*.exe')
if [ "$bad" -ne 0 ]; then
  echo "build-windows: programs import DLLs that a bare Windows does not have" >&2
  exit 1
fi

# The release archive: the two programs, the command-line part of the README, the licence.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/CMakeCache.txt")
name=fwupdate-$version-windows-x64
stage=$out/dist/$name
rm -rf "$out/dist"
mkdir -p "$stage"
cp "$out/tools/cli/fwupdate-cli.exe" "$out/tools/fwdevsim/fwdevsim.exe" "$stage/"
x86_64-w64-mingw32-strip "$stage/fwupdate-cli.exe" "$stage/fwdevsim.exe"
awk '/^## Command-line tool/ {on=1} /^## / && !/^## Command-line tool/ {on=0} on' README.md | sed 's/$/\r/' \
  > "$stage/README.txt"
if [ -f LICENSE ]; then
  sed 's/$/\r/' LICENSE > "$stage/LICENSE.txt"
else
  echo "build-windows: no LICENSE at the top of the repository: the archive has none" >&2
fi
rm -f "$out/$name.zip"
(cd "$out/dist" && cmake -E tar cf "../$name.zip" --format=zip "$name")
echo "build-windows: wrote $out/$name.zip"
