#!/usr/bin/env bash
# Builds the Debian packages and checks them as an operator would use them: lintian (no errors), the desktop
# entry and metainfo validate, the packages install with apt-get, the installed programs answer --version, the
# manual pages are found, the window starts offscreen and keeps its files in the per-user folders (never
# beside itself in /usr/bin), ansible-doc shows the Ansible collection's modules and filter, and purging the
# packages leaves nothing of theirs under /usr.
# Installs into the system: run it as root on a throwaway machine (CI does).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

if [ "$(id -u)" -ne 0 ]; then
  echo "check-packages: installs packages into the system; run it as root" >&2
  exit 1
fi

read -r -a debs <<<"$(bash scripts/package.sh | tail -n 1)"
echo "packages: ${debs[*]}"
fail() { echo "check-packages: $*" >&2; exit 1; }

work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq fwupdate fwupdate-devsim fwupdate-ansible >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# lintian: errors fail the check, warnings are shown and counted.
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" >"$work/lintian.txt" 2>&1 ||
  { cat "$work/lintian.txt"; fail "lintian reports errors"; }
cat "$work/lintian.txt"
echo "lintian: $(grep -c '^E:' "$work/lintian.txt" || true) errors," \
  "$(grep -c '^W:' "$work/lintian.txt" || true) warnings, $(grep -c '^I:' "$work/lintian.txt" || true) notes"

# The desktop entry and metainfo as the package holds them; the files each package brings.
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$work/root"
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' >>"$work/files.txt"
done
desktop-file-validate "$work"/root/usr/share/applications/*.desktop
appstreamcli validate --no-net "$work"/root/usr/share/metainfo/*.metainfo.xml

debs_here=()
for deb in "${debs[@]}"; do debs_here+=("./$deb"); done
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs_here[@]}" >"$work/apt.txt" 2>&1 ||
  { cat "$work/apt.txt"; fail "the packages do not install"; }

# Debian's own transitional package "fwupdate" must not count as an upgrade of the installed one.
candidate=$(apt-cache policy fwupdate | sed -n 's/^ *Candidate: //p')
[ "$candidate" = "$(dpkg-query -W -f='${Version}' fwupdate)" ] || fail "apt would replace fwupdate by $candidate"

version=$(sed -n 's/^project(fwupdate VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for program in fwupdate fwupdate-cli fwdevsim mkfwcfg; do
  [ "$("/usr/bin/$program" --version)" = "$program $version" ] || fail "$program --version"
  man -w "$program" >/dev/null || fail "no manual page for $program"
done

# The installed programs in a fresh home: the window offscreen must still run when the timeout ends it
# (exit 124), and the command-line tool, asking the installed simulator who it is, must log into the per-user
# state folder.
home="$work/home"
mkdir -p "$home"
run() {
  env -u FWUPDATE_LOG -u XDG_CONFIG_HOME HOME="$home" XDG_STATE_HOME="$home/state" QT_QPA_PLATFORM=offscreen "$@"
}
rc=0
run timeout 3 /usr/bin/fwupdate >"$work/window.txt" 2>&1 || rc=$?
[ "$rc" = 124 ] || { cat "$work/window.txt"; fail "the window ended by itself (exit $rc) instead of running"; }

timeout 20 /usr/bin/fwdevsim --address 127.0.0.1 --port 0 --no-reconnect-port --once \
  >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
for _ in $(seq 100); do
  grep -qs '^listening on' "$work/sim.err" && break
  kill -0 "$sim" 2>/dev/null || break
  sleep 0.1
done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.err")
[ -n "$port" ] || { cat "$work/sim.err"; fail "the installed simulator did not start"; }
run /usr/bin/fwupdate-cli info --device "127.0.0.1:$port" --timeout 5 >"$work/info.txt" 2>&1 ||
  { cat "$work/info.txt"; fail "fwupdate-cli info against the installed simulator failed"; }
kill "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
[ -s "$home/state/fwupdate/fwupdate-cli.log" ] || fail "no log in the per-user state folder"
for f in /usr/bin/*.log /usr/bin/data.dat; do
  [ ! -e "$f" ] || fail "$f written beside the installed program"
done

# The collection where Debian's Ansible finds it, with no collections path of the user's: ansible-doc shows each
# plugin's documentation from the installed files.
collections=/usr/share/ansible/collections/ansible_collections/fwupdate/devices
for plugin in module:fwupdate.devices.device_update module:fwupdate.devices.device_info \
  filter:fwupdate.devices.update_result; do
  name=${plugin#*:}
  run env -u ANSIBLE_COLLECTIONS_PATH -u ANSIBLE_COLLECTIONS_PATHS ansible-doc -t "${plugin%%:*}" "$name" \
    >"$work/doc.txt" 2>&1 || { cat "$work/doc.txt"; fail "ansible-doc $name"; }
  if ! head -n 1 "$work/doc.txt" | grep -qiF "> $name " || ! grep -qF "($collections/" "$work/doc.txt"; then
    cat "$work/doc.txt"
    fail "ansible-doc shows no documentation of the installed $name"
  fi
done
echo "ansible-doc shows the installed collection's modules and filter"

DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq fwupdate fwupdate-devsim fwupdate-ansible >/dev/null
installed=0
left=0
while read -r f; do
  if [ -e "$f" ]; then
    echo "left after purge: $f" >&2
    left=1
  fi
done <"$work/files.txt"
[ "$left" = 0 ] || fail "the purged packages left files behind"
echo "check-packages: ${debs[*]} pass"
