#!/usr/bin/env bash
# Cross-builds fwupdate for 64-bit Windows with mingw-w64 into build-windows/: the window fwupdate.exe (the
# Win32 API over the presenter), fwupdate-cli.exe, fwdevsim.exe, mkfwcfg.exe and the tests of base/, crypto/,
# link/, update/, app/ and tools/ (GoogleTest built from /usr/src/googletest). Checks that every program
# imports only Windows's own DLLs, and writes the release archive
# build-windows/fwupdate-<version>-windows-x64.zip and the installer build-windows/fwupdate-<version>-windows-x64.msi
# (wixl, from msitools).
#   scripts/build-windows.sh [cmake options...]
# Left out of this build, and why: the Qt window (the Win32 window takes its place); rijndael_test and
# aes128_test (OpenSSL is their oracle; rijndael_tables_test still checks the cipher's tables);
# update_e2e_test, fwdevsim_test, cli_test, cfgwriter_test and the presenter's tests against the simulator
# (they start child processes with posix_spawn). scripts/test-windows.sh runs the programs under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
out=build-windows

# icoutils: the window's .ico from the rendered icon; wixl: the MSI.
bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix googletest wine64 icoutils wixl msitools

launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Optimised as Debian builds (-O2), without debugging information: the programs are stripped for the zip and
# the MSI, and writing debugging information costs much of the build's time.
cmake -S . -B "$out" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
  -DFWUPDATE_QT=OFF -DFWUPDATE_BENCHMARKS=OFF \
  -DFWUPDATE_GTEST_SOURCE=/usr/src/googletest \
  -DFWUPDATE_TESTS_PER_PROGRAM=ON \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
  "${launcher[@]}" "$@" | grep -E 'left out|Error|error' || true
cmake --build "$out" -j "$(nproc)"

echo "build-windows: not in this build: the Qt window (fwupdate.exe is the Win32 window); rijndael_test and" \
     "aes128_test (OpenSSL is their oracle); cfgwriter_test, fwdevsim_test, cli_test, update_e2e_test and the" \
     "presenter's simulator tests (child processes through posix_spawn): scripts/test-windows.sh runs the" \
     "programs under Wine instead"

# Every program must run on a bare Windows: only the system's own DLLs, never the compiler's runtime.
allowed='^(kernel32|msvcrt|ws2_32|advapi32|iphlpapi|user32|gdi32|comctl32|comdlg32|shell32|ole32|bcrypt|ntdll|api-ms-win-.*)\.dll$'
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
    */fwupdate.exe|*/fwupdate-cli.exe|*/fwdevsim.exe) echo "build-windows: $exe imports:" $dlls ;;
  esac
done < <(find "$out/app" "$out/tools" "$out/tests" -name '*.exe')
if [ "$bad" -ne 0 ]; then
  echo "build-windows: programs import DLLs that a bare Windows does not have" >&2
  exit 1
fi

# No object with a destructor in thread-local storage: mingw-w64 can free such an object's storage before its
# destructor runs at the thread's end, which then frees a pointer read from reused memory (the window of many
# devices and fwupdate-cli with hundreds of devices crashed so). The compiler registers every such destructor
# with __cxa_thread_atexit: none of our objects may call it.
tls=$(find "$out" -path "$out/googletest" -prune -o -path "$out/_deps" -prune -o -name '*.obj' -print |
  xargs -r x86_64-w64-mingw32-nm -A -u 2>/dev/null | grep -E '__cxa_thread_atexit' || true)
if [ -n "$tls" ]; then
  echo "build-windows: thread-local objects with destructors (make them plain values or pointers):" >&2
  echo "$tls" >&2
  exit 1
fi

# The release archive: the window, the command-line tool, the simulator and the demo firmware writer, a demo
# configuration with its image, the README for Windows users (packaging/windows/README.txt) and the licence.
# The programs keep data.dat and their logs beside themselves when the folder is writable.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/CMakeCache.txt")
name=fwupdate-$version-windows-x64
stage=$out/dist/$name
rm -rf "$out/dist"
mkdir -p "$stage"
cp "$out/app/fwupdate.exe" "$out/tools/cli/fwupdate-cli.exe" "$out/tools/fwdevsim/fwdevsim.exe" \
  "$out/tools/mkfwcfg/mkfwcfg.exe" "$stage/"
x86_64-w64-mingw32-strip "$stage"/*.exe
sed "s/@VERSION@/$version/g; s/$/\r/" packaging/windows/README.txt > "$stage/README.txt"
if [ -f LICENSE ]; then
  sed 's/$/\r/' LICENSE > "$stage/LICENSE.txt"
else
  echo "build-windows: no LICENSE at the top of the repository: the archive has none" >&2
fi
# The demo, written by the mkfwcfg.exe just built (under Wine), as the native build writes build/demo: 4 KiB,
# 16 pages, about five seconds against fwdevsim.exe.
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
mkfwcfg() {
  (cd "$stage/demo" && WINEPREFIX="$top/$out/wine" WINEDEBUG=-all \
    WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d" timeout 300 "$wine" "$top/$stage/mkfwcfg.exe" "$@")
}
mkdir -p "$stage/demo"
mkfwcfg --write-image demo.bin --size 4096 --seed 2024 >/dev/null
mkfwcfg --out demo.cfg --image demo.bin --fw-version 1 --revision 5 >/dev/null
[ -s "$stage/demo/demo.bin" ] && [ -s "$stage/demo/demo.cfg" ] ||
  { echo "build-windows: mkfwcfg.exe wrote no demo" >&2; exit 1; }
rm -f "$out/$name.zip"
(cd "$out/dist" && cmake -E tar cf "../$name.zip" --format=zip "$name")
echo "build-windows: wrote $out/$name.zip"

# The installer: the archive's programs, README and licence (not the demo), per machine into Program Files (packaging/windows/fwupdate.wxs).
msistage=$out/dist/msi
mkdir -p "$msistage"
cp "$stage"/*.exe "$stage"/*.txt "$msistage/"
rm -f "$out/$name.msi"
wixl -a x64 -D Version="$version" -D Stage="$msistage" -D Icon="$out/app/win32/fwupdate.ico" \
  -o "$out/$name.msi" packaging/windows/fwupdate.wxs
echo "build-windows: wrote $out/$name.msi"
