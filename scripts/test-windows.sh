#!/usr/bin/env bash
# Runs the Windows build (scripts/build-windows.sh) under Wine, on an X server of its own (Xvfb) for the
# windows: its CTest suite (fwupdate.exe driven from outside by its test program among them), then the
# programs against the Linux ones over loopback:
#   1. fwupdate-cli.exe updates the Linux simulator (127.0.0.90); the image the simulator reassembled
#      must equal the demo image byte for byte;
#   2. the Linux fwupdate-cli updates fwdevsim.exe (127.0.0.91);
#   3. the Linux fwupdate-cli updates the Linux simulator (127.0.0.92), for reference: the three
#      simulators' reports of what arrived on the wire must be the same;
#   4. fwupdate-cli.exe updates 500 devices of one Linux simulator (127.3.0.1 on) from a list, three times:
#      every device ends, the report is complete with the exit code, every device took the whole image;
#   5. the zip as a Windows user meets it: its files, its README, its demo onto its simulator;
# and last the installer: msiexec installs the MSI, the installed programs run and keep their files per user,
# a newer MSI replaces it, msiexec removes it without a trace.
# Needs the native build in build/ (the Linux programs and build/demo) and build-windows/.
#   scripts/test-windows.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
# Every Wine program of the run shares one X server of its own, started before the wine server.
if [ -z "${FWUPDATE_OWN_XVFB:-}" ]; then
  FWUPDATE_OWN_XVFB=1 exec bash scripts/with-xvfb.sh bash "$0" "$@"
fi
win=$top/build-windows
native=$top/build

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
export WINEPREFIX=$win/wine WINEDEBUG=-all
# No menu entries or file associations on the host for what the installer sets up; no .NET or browser
# installers; no debugger for a program that crashes: it ends at once with its output (Wine's debugger can
# hang over a crashed test program until CTest's time-out).
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d;winedbg.exe=d"

# Each step ends with its duration, so that a slow one shows.
step_name=
step_done() {
  [ -z "$step_name" ] || printf '(%s: %d s)\n' "$step_name" $(( $(date +%s) - step_started ))
  step_name=
}
step() { step_done; step_name=$*; step_started=$(date +%s); printf '\n--- %s ---\n' "$*"; }
started=$(date +%s)
# Hundreds of devices at once: the simulator's listeners and sessions, and the wine server, which holds every
# socket of the Wine programs, need more open files than the usual 1,024. Raised before the wine server starts.
files=$(ulimit -Hn)
if [ "$files" = unlimited ] || [ "$files" -gt 65536 ]; then files=65536; fi
ulimit -Sn "$files"

wineserver=$(dirname "$(readlink -f "$wine")")/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# A command that fails says where, instead of ending the script without a word.
trap 'echo "test-windows: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  step "Wine prefix $WINEPREFIX"
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || { echo "test-windows: wineboot failed" >&2; exit 1; }
  # The wine server writes the new prefix's registry to disk only when it ends (or half a minute later): a
  # server that crashes before (a Wine fault seen under many sockets) would leave a prefix without most of
  # its keys, and the installer's steps fail on it.
  timeout 120 "$wineserver" -w >/dev/null 2>&1 || true
fi
# One wine server for all test programs: one that quits between two of them races the next one
# ("recvmsg: Connection reset by peer"). It stays until the script ends; it and simulators still
# running when the script ends (a failed check) are ended with it.
trap 'kill $(jobs -p) 2>/dev/null || true; timeout 20 "$wineserver" -k >/dev/null 2>&1 || true' EXIT
# The first Wine program starts Wine's own services, and the first window Wine's desktop, which inherit its
# output: started here, with no output, they keep no test's output open (CTest would wait for it until the
# time-out).
# The server's own words go to build-windows/wineserver.log: a server that ends on a fault of its own (Debian 12's
# Wine asserts in its socket code when a socket is closed during another thread's wait on it) leaves its
# programs waiting until their time-out, and its last line says why.
start_wine() {
  "$wineserver" -f -p >>"$win/wineserver.log" 2>&1 &
  wineserver_pid=$!
  timeout 120 "$wine" "$win/tests/link/link_queue_test.exe" --gtest_list_tests >/dev/null 2>&1 </dev/null || true
  timeout 120 "$wine" "$win/tests/app/win32/app_win32_window_test.exe" --gtest_filter='Win32Window.Admin*' \
    >/dev/null 2>&1 </dev/null || true
}
rm -f "$win/wineserver.log"
start_wine

step "Windows tests under Wine"
# Now and then Wine fails to start a program at all (no output, 0 s): a failed test gets one more start, on a
# new wine server if the last one ended during the tests. A test that fails on its own fails both times. The
# first start's output stays, printed and in build-windows/first-start.log (CTest's own log of the second start
# replaces its first), so that a test that fails only now and then can be read.
rm -f "$win/first-start.log"
wine_tests() { (cd "$win" && ctest --output-on-failure --no-tests=error -j "$(nproc)" --timeout 120 "$@"); }
if ! wine_tests; then
  cp "$win/Testing/Temporary/LastTest.log" "$win/first-start.log"
  echo "test-windows: the tests above failed at their first start (their whole output: $win/first-start.log);" \
       "they start once more"
  if ! kill -0 "$wineserver_pid" 2>/dev/null; then
    echo "test-windows: the wine server ended during the tests; its last words:"
    tail -n 5 "$win/wineserver.log" || true
    start_wine
  fi
  wine_tests --rerun-failed
fi

step "the windows at 125 % and 150 %"
# Windows's display scale as Wine keeps it; the windows place everything for it and no caption is cut.
set_dpi() {
  for key in 'HKCU\Control Panel\Desktop' 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
    timeout 60 "$wine" reg add "$key" /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  done
}
trap_dpi_reset() { set_dpi 96 || true; }
# Wine takes the scale when its desktop starts: each scale gets a wine server (and desktop) of its own.
restart_wine() {
  timeout 20 "$wineserver" -k >/dev/null 2>&1 || true
  timeout 20 "$wineserver" -w >/dev/null 2>&1 || true
  start_wine
}
for dpi in 120 144; do
  set_dpi "$dpi"
  restart_wine
  if ! timeout 120 "$wine" "$win/tests/app/win32/app_win32_window_test.exe" \
    --gtest_filter='Win32Window.StartsWith*' >"$win/dpi-$dpi.out" 2>&1; then
    trap_dpi_reset
    cat "$win/dpi-$dpi.out"
    exit 1
  fi
  grep -q "the window at $dpi DPI" "$win/dpi-$dpi.out" ||
    { trap_dpi_reset; echo "test-windows: the window did not take $dpi DPI" >&2; cat "$win/dpi-$dpi.out"; exit 1; }
  echo "$dpi DPI: $(grep -E '^\[ +OK +\]' "$win/dpi-$dpi.out")"
  # The window of many devices: from its least size up, every control inside it, inside the work area.
  if ! timeout 120 "$wine" "$win/tests/app/win32/app_win32_fleet_window_test.exe" \
    --gtest_filter='Win32FleetWindow.Fits*' >"$win/dpi-fleet-$dpi.out" 2>&1 ||
    ! grep -q "the window of many devices at $dpi DPI" "$win/dpi-fleet-$dpi.out"; then
    trap_dpi_reset
    cat "$win/dpi-fleet-$dpi.out"
    exit 1
  fi
  echo "$dpi DPI: $(grep -E '^the window of many devices' "$win/dpi-fleet-$dpi.out")"
done
set_dpi 96
restart_wine

tmp=$win/crosscheck
rm -rf "$tmp"
mkdir -p "$tmp"
cfg=$native/demo/demo.cfg
image=$native/demo/demo.bin

# Starts a simulator (program and launcher given, then more options of its own) on an address with a free
# port; sets sim_pid and sim_port. Its JSON lines go to $tmp/<tag>.json, the image it reassembled to
# image_out (none when empty).
start_sim() {
  local tag=$1 address=$2 image_out=$3; shift 3
  # There before the simulator's shell opens it: the first look below may come sooner (and a failed read
  # would end the script without a word).
  : >"$tmp/$tag.err"
  "$@" --address "$address" --port 0 --no-reconnect-port --once ${image_out:+--image-out "$image_out"} \
    >"$tmp/$tag.json" 2>"$tmp/$tag.err" &
  sim_pid=$!
  sim_port=
  for _ in $(seq 1 300); do
    sim_port=$(sed -n 's/^listening on .*:\([0-9]*\).*/\1/p' "$tmp/$tag.err")
    [ -n "$sim_port" ] && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "test-windows: the $tag simulator did not start:" >&2
  cat "$tmp/$tag.err" >&2
  return 1
}

# Waits (bounded) for the simulator of one session to end.
wait_sim() {
  local tag=$1
  for _ in $(seq 1 300); do
    kill -0 "$sim_pid" 2>/dev/null || { wait "$sim_pid"; return $?; }
    sleep 0.1
  done
  echo "test-windows: the $tag simulator did not end" >&2
  kill "$sim_pid" 2>/dev/null || true
  return 1
}

# The report without what differs between runs (address, session number, peer, port, the wall-clock times of the update, and the reads, whose count includes the keep-alive reads of an idle second) and line ends (a
# Windows program ends its lines with CR LF).
wire() { sed -e 's/\r$//' -e 's/"address":"[^"]*",//' -e 's/"session":[0-9]*,//' -e 's/"reads":[0-9]*,//' -e 's/"peer":"[^"]*",//' -e 's/"port":[0-9]*,//' \
  -e 's/,"updateStartedAt":[0-9]*//' -e 's/,"imageEndedAt":[0-9]*//' "$1"; }

step "fwupdate-cli.exe under Wine updates the Linux simulator"
start_sim wincli 127.0.0.90 "$tmp/wincli.bin" "$native/tools/fwdevsim/fwdevsim"
timeout 120 "$wine" "$win/tools/cli/fwupdate-cli.exe" update --device "127.0.0.90:$sim_port" \
  --config "Z:$cfg" > "$tmp/wincli.out" 2>&1 || { cat "$tmp/wincli.out"; exit 1; }
wait_sim wincli
cmp "$image" "$tmp/wincli.bin"
echo "image intact: $(wc -c < "$tmp/wincli.bin") bytes; $(cat "$tmp/wincli.json")"

step "the Linux fwupdate-cli updates fwdevsim.exe under Wine"
start_sim winsim 127.0.0.91 "Z:$tmp/winsim.bin" "$wine" "$win/tools/fwdevsim/fwdevsim.exe"
timeout 120 "$native/tools/cli/fwupdate-cli" update --device "127.0.0.91:$sim_port" --config "$cfg" \
  > "$tmp/winsim.out" 2>&1 || { cat "$tmp/winsim.out"; exit 1; }
wait_sim winsim
cmp "$image" "$tmp/winsim.bin"
echo "image intact: $(wc -c < "$tmp/winsim.bin") bytes"

step "the Linux programs, for reference"
start_sim native 127.0.0.92 "$tmp/native.bin" "$native/tools/fwdevsim/fwdevsim"
timeout 120 "$native/tools/cli/fwupdate-cli" update --device "127.0.0.92:$sim_port" --config "$cfg" \
  > "$tmp/native.out" 2>&1 || { cat "$tmp/native.out"; exit 1; }
wait_sim native
for tag in wincli winsim; do
  if [ "$(wire "$tmp/$tag.json")" != "$(wire "$tmp/native.json")" ]; then
    echo "test-windows: $tag received other bytes than the Linux programs:" >&2
    wire "$tmp/$tag.json" >&2
    wire "$tmp/native.json" >&2
    exit 1
  fi
done
echo "the same on the wire in all three pairs"

step "fwupdate-cli.exe under Wine updates 500 devices of one Linux simulator from a list, three times"
# The scale at which device threads ending together once crashed it (a thread-local object's destructor ran
# on freed storage): each run, every device ends, the tool ends with 0, the report has every row ended and
# the run's exit code, and the simulator's lines (to a file, which never holds it up) show that every
# device received the whole image the Linux programs exchanged above.
fleet=500
for run in 1 2 3; do
  run_started=$(date +%s)
  start_sim "fleet$run" 127.3.0.1 "" "$native/tools/fwdevsim/fwdevsim" --count "$fleet"
  for i in $(seq 1 "$fleet"); do echo "127.3.$((i >> 8)).$((i & 255)):$sim_port"; done >"$tmp/fleet$run.txt"
  code=0
  timeout 300 "$wine" "$win/tools/cli/fwupdate-cli.exe" update --config "Z:$cfg" \
    --devices-from "Z:$tmp/fleet$run.txt" --report "Z:$tmp/fleet$run-report.json" >"$tmp/fleet$run.out" 2>&1 ||
    code=$?
  if [ "$code" = 0 ]; then
    wait_sim "fleet$run"
  else
    kill "$sim_pid" 2>/dev/null || true
    grep -a -m 3 'Unhandled' "$tmp/fleet$run.out" || true # Wine's word on a crash
    tail -n 10 "$tmp/fleet$run.out"
  fi
  python3 - "$tmp/fleet$run-report.json" "$tmp/fleet$run.json" "$tmp/native.json" "$fleet" "$code" <<'EOF_PY' ||
import collections, json, sys
report_file, sessions_file, reference_file = sys.argv[1:4]
count, code = int(sys.argv[4]), int(sys.argv[5])
problems = []
if code != 0:
    problems.append(f"fwupdate-cli.exe ended with {code}")
try:
    report = json.load(open(report_file, encoding="utf-8"))
    rows, run_code = report["devices"], report["run"]["exitCode"]
except (OSError, ValueError, KeyError) as e:
    rows, run_code = [], None
    problems.append(f"no readable report: {e}")
results = collections.Counter(row["result"] for row in rows)
if len(rows) != count or results["pending"]:
    problems.append(f"the report has {len(rows)} rows of {count}: {dict(results)}")
failed = [f"{r['address']} {r['result']}: {r['detail']}" for r in rows
          if r["result"] != "pending" and (r["result"] != "ok" or r["flash"] != "updated")]
problems += failed[:5]
if run_code != code:
    problems.append(f"the report's exit code is {run_code}, the tool's {code}")
reference = json.loads(open(reference_file, encoding="utf-8").readline())
whole = set()
for line in open(sessions_file, encoding="utf-8"):
    s = json.loads(line)
    if (s["pages"], s["checksum"], s["imageEnded"], s["updateEnded"]) == \
            (reference["pages"], reference["checksum"], True, True):
        whole.add(s["address"])
if len(whole) != count:
    problems.append(f"{len(whole)} of {count} devices received the whole image")
for p in problems:
    print("test-windows: " + p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF_PY
    exit 1
  echo "run $run: $fleet devices updated in $(( $(date +%s) - run_started )) s: exit 0, every row ended in the" \
       "report with the exit code, every device received the whole image"
done

step "the zip: its programs, the demo and a README for Windows users"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win/CMakeCache.txt")
name=fwupdate-$version-windows-x64
rm -rf "$tmp/zip"
mkdir -p "$tmp/zip"
(cd "$tmp/zip" && cmake -E tar xf "$win/$name.zip")
unpacked=$tmp/zip/$name
for f in fwupdate.exe fwupdate-cli.exe fwdevsim.exe mkfwcfg.exe README.txt LICENSE.txt demo/demo.cfg demo/demo.bin; do
  [ -s "$unpacked/$f" ] || { echo "test-windows: the zip has no $f" >&2; exit 1; }
done
readme=$unpacked/README.txt
[ "$(grep -c $'\r$' "$readme")" = "$(wc -l < "$readme")" ] ||
  { echo "test-windows: README.txt has lines without CR LF" >&2; exit 1; }
for text in '%LOCALAPPDATA%\fwupdate\' 'fwdevsim.exe' 'demo\demo.cfg' 'mkfwcfg.exe' 'double quotes'; do
  grep -qF "$text" "$readme" || { echo "test-windows: README.txt does not mention $text" >&2; exit 1; }
done
help=$(timeout 60 "$wine" "$unpacked/fwupdate-cli.exe" --help | tr -d '\r')
echo "$help" | grep -qF '%LOCALAPPDATA%\fwupdate\' ||
  { echo "test-windows: fwupdate-cli.exe --help does not name %LOCALAPPDATA%\\fwupdate\\" >&2; exit 1; }
# As the README tells it: from the unpacked folder, the zip's demo onto the zip's simulator; an upper-case
# report extension, and the configuration's path written back with the Windows separator.
start_sim zip 127.0.0.93 "Z:$tmp/zip.bin" "$wine" "$unpacked/fwdevsim.exe"
(cd "$unpacked" && timeout 120 "$wine" fwupdate-cli.exe update --device "127.0.0.93:$sim_port" \
  --config demo/demo.cfg --report RESULT.CSV > "$tmp/zip.out" 2>&1) || { cat "$tmp/zip.out"; exit 1; }
wait_sim zip
cmp "$unpacked/demo/demo.bin" "$tmp/zip.bin"
grep -qF 'demo\demo.cfg' "$unpacked/RESULT.CSV" ||
  { echo "test-windows: the report does not name demo\\demo.cfg:" >&2; cat "$unpacked/RESULT.CSV" >&2; exit 1; }
grep -q "^127.0.0.93:$sim_port Starting Erasing Flash" "$unpacked/fwupdate-cli.log" ||
  { echo "test-windows: the log beside the program does not name the device" >&2; exit 1; }
echo "the zip's demo updated the zip's simulator; README.txt for Windows; the log names its device"

step "the installer: install, run, upgrade, remove"
msi=$win/fwupdate-$version-windows-x64.msi
[ -f "$msi" ] || { echo "test-windows: no installer $msi" >&2; exit 1; }
installed="$WINEPREFIX/drive_c/Program Files/fwupdate"
# The shortcut: in the Start Menu of all users (Wine puts the one of an installation for all users into the
# installing user's Start Menu).
# shortcut_there NAME: the shortcut NAME.lnk is in either Start Menu (the window's by default).
start_menus=("$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
             "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs")
shortcut_there() {
  for m in "${start_menus[@]}"; do [ -f "$m/${1:-Firmware Update}.lnk" ] && return 0; done
  return 1
}
uninstall_entries() {
  timeout 60 "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | grep -cE 'DisplayName +REG_SZ +fwupdate$' || true
}
# Copies left by earlier runs go first (each build's MSI has a product code of its own).
products=$(timeout 60 "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
  tr -d '\r' | awk '/^HKEY/ {key=$0} /DisplayName +REG_SZ +fwupdate$/ {sub(/.*\\/, "", key); print key}')
for product in $products; do
  timeout 120 "$wine" msiexec /x "$product" /qn >/dev/null 2>&1 || true
done
timeout 120 "$wine" msiexec /i "Z:$msi" /qn
for f in fwupdate.exe fwupdate-cli.exe fwdevsim.exe mkfwcfg.exe README.txt LICENSE.txt; do
  [ -f "$installed/$f" ] || { echo "test-windows: $f was not installed" >&2; exit 1; }
done
shortcut_there || { echo "test-windows: no Start Menu shortcut \"Firmware Update\"" >&2; exit 1; }
shortcut_there "Firmware Update (many devices)" ||
  { echo "test-windows: no Start Menu shortcut \"Firmware Update (many devices)\"" >&2; exit 1; }
entry=$(timeout 60 "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r')
echo "$entry" | grep -qE "DisplayVersion +REG_SZ +$version" &&
  echo "$entry" | grep -qE 'Publisher +REG_SZ +the fwupdate developers' ||
  { echo "test-windows: no Apps & Features entry with version $version and publisher" >&2; exit 1; }
out=$(timeout 60 "$wine" "C:\\Program Files\\fwupdate\\fwupdate-cli.exe" --version | tr -d '\r')
[ "$out" = "fwupdate-cli $version" ] || { echo "test-windows: installed fwupdate-cli --version: $out" >&2; exit 1; }
# The installed window keeps data.dat and its log in %LOCALAPPDATA%\fwupdate\, never in Program Files.
FWUPDATE_WINDOW_EXE='C:\Program Files\fwupdate\fwupdate.exe' timeout 120 "$wine" \
  "$win/tests/app/win32/app_win32_window_test.exe" --gtest_filter='InstalledWindow.*' \
  >"$tmp/installed.out" 2>&1 || { cat "$tmp/installed.out"; exit 1; }
grep -q '\[  PASSED  \] 1 test' "$tmp/installed.out" || { cat "$tmp/installed.out"; exit 1; }
# A newer version replaces the installed one: one entry, the new version.
newer=$tmp/fwupdate-newer.msi
rel=${win#"$top"/} # wixl takes the files' paths relative to the current folder
wixl -a x64 -D Version="$version.1" -D Stage="$rel/dist/msi" -D Icon="$rel/app/win32/fwupdate.ico" -o "$newer" \
  packaging/windows/fwupdate.wxs
timeout 120 "$wine" msiexec /i "Z:$newer" /qn
entries=$(uninstall_entries)
entry=$(timeout 60 "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r')
[ "$entries" = 1 ] && echo "$entry" | grep -qE "DisplayVersion +REG_SZ +$version\.1" ||
  { echo "test-windows: the newer installer did not replace the older one ($entries entries)" >&2; exit 1; }
timeout 120 "$wine" msiexec /x "Z:$newer" /qn
if [ -e "$installed" ] || shortcut_there || [ "$(uninstall_entries)" != 0 ]; then
  echo "test-windows: removing left files, the shortcut or the Apps & Features entry behind:" >&2
  ls -la "$installed" >&2 2>/dev/null || true
  exit 1
fi
echo "installed, ran, replaced by a newer version and removed without a trace"

step_done
echo "test-windows: passed in $(( $(date +%s) - started )) s"
