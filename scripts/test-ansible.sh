#!/usr/bin/env bash
# The Ansible collection fwupdate.devices (ansible_collections/fwupdate/devices), tested on a copy in the build
# folder: its pytest unit tests; ansible-test sanity, the tests that Debian's packages allow without the
# internet; its tarball (ansible-galaxy collection build, into the build folder); and an integration run of its
# example playbook by ansible-playbook against three venues on this machine (local connection), each with its
# own fwdevsim on its own loopback addresses, one venue with a faulty device.
#   bash scripts/test-ansible.sh [BUILD]     (BUILD: a build folder with the tools, default build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
python=/usr/bin/python3 # Debian's, with Ansible and pytest
for program in tools/cli/fwupdate-cli tools/fwdevsim/fwdevsim tools/mkfwcfg/mkfwcfg; do
  [ -x "$build/$program" ] || { echo "test-ansible: $build/$program is not built" >&2; exit 1; }
done

work=$build/ansible
rm -rf "$work"
collections=$work/collections
collection=$collections/ansible_collections/fwupdate/devices
mkdir -p "$(dirname "$collection")"
cp -r "$top/ansible_collections/fwupdate/devices" "$collection"
rm -rf "$collection/tests/output"

started=$SECONDS
part() { printf '\n--- %s (at %d s) ---\n' "$*" $((SECONDS - started)); }
fail() { echo "test-ansible: $*" >&2; exit 1; }

part "unit tests (pytest)"
(cd "$collection" && PYTHONPATH=$collections "$python" -m pytest -q -p no:cacheprovider tests/unit)

part "ansible-test sanity"
bash "$top/scripts/ansible-sanity.sh" "$collection"

part "collection tarball"
ansible-galaxy collection build "$collection" --output-path "$build" --force
tarball=$(ls "$build"/fwupdate-devices-*.tar.gz)
echo "$tarball"

part "integration: three venues in waves"
export ANSIBLE_COLLECTIONS_PATH=$collections ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 \
  ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_HOME=$work/home \
  ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_STDOUT_CALLBACK=default
it=$work/it
mkdir -p "$it"
mkfwcfg=$build/tools/mkfwcfg/mkfwcfg
# Three configurations, each with its own small image (six pages: an update takes about a second).
for n in 1 2 3; do
  mkdir -p "$it/fw$n"
  "$mkfwcfg" --write-image "$it/fw$n/fw.bin" --size 1500 --seed "$n" >/dev/null
  "$mkfwcfg" --out "$it/fw$n/fw.cfg" --image "$it/fw$n/fw.bin" --fw-version "$n" >/dev/null
done

# Venue alpha, bravo (its second device faulty: an error reply to page 2) and charlie, in this order: the
# waves are alpha, bravo, charlie.
venues=(alpha bravo charlie)
declare -A net=([alpha]=127.0.61 [bravo]=127.0.62 [charlie]=127.0.63)
declare -A sim=()
start_sim() { # VENUE [fault options]
  local v=$1
  shift
  : >"$it/$v.sim.err"
  "$build/tools/fwdevsim/fwdevsim" --address "${net[$v]}.1" --count 3 --no-reconnect-port "$@" \
    >>"$it/$v.sessions" 2>"$it/$v.sim.err" &
  sim[$v]=$!
  for _ in $(seq 200); do
    grep -qs '^listening on' "$it/$v.sim.err" && return 0
    kill -0 "${sim[$v]}" 2>/dev/null || break
    sleep 0.05
  done
  cat "$it/$v.sim.err" >&2
  fail "the simulator of $v did not start"
}
stop_sim() {
  if [ -n "${sim[$1]:-}" ]; then
    kill "${sim[$1]}" 2>/dev/null || true
    wait "${sim[$1]}" 2>/dev/null || true
    sim[$1]=""
  fi
}
trap 'for v in "${venues[@]}"; do stop_sim "$v"; done' EXIT
faulty=(--faulty 1 --error-on-page 2)
start_sim alpha
start_sim bravo "${faulty[@]}"
start_sim charlie

{
  echo "venues:"
  echo "  vars:"
  echo "    ansible_connection: local"
  echo "    ansible_python_interpreter: $python"
  echo "    fw_cli: $build/tools/cli/fwupdate-cli"
  echo "    fw_jobs: 3"
  echo "  hosts:"
  for v in "${venues[@]}"; do
    echo "    $v:"
    echo "      fw_devices: [${net[$v]}.1, ${net[$v]}.2, ${net[$v]}.3]"
    echo "      fw_state_report: $it/$v/state.json"
    echo "      fw_log: $it/$v/fwupdate-cli.log"
    # bravo tolerates its faulty device.
    [ "$v" != bravo ] || echo "      fw_max_failed: 1"
  done
} >"$it/inventory.yml"
for v in "${venues[@]}"; do mkdir -p "$it/$v"; done

lines() { [ -f "$it/$1.sessions" ] && wc -l <"$it/$1.sessions" || echo 0; }
declare -A seen=()
mark() { for v in "${venues[@]}"; do seen[$v]=$(lines "$v"); done; }
# The session lines a venue's simulator wrote since the last mark, once there are N of them (a line comes
# when the tool closes the session); none are expected with N=0.
new_sessions() { # VENUE N
  local v=$1 n=$2
  for _ in $(seq 400); do
    [ "$(($(lines "$v") - ${seen[$v]}))" -ge "$n" ] && break
    sleep 0.05
  done
  tail -n +"$((${seen[$v]} + 1))" "$it/$v.sessions"
}
expect_sessions() { # VENUE N UPDATED WHAT [nothing-written]: N new sessions, UPDATED of them with a whole update
  local v=$1 n=$2 updated=$3 got
  got=$(new_sessions "$v" "$n" | "$python" -c '
import json, sys
s = [json.loads(l) for l in sys.stdin if l.strip()]
print(len(s), sum(1 for x in s if x["updateEnded"]), sum(1 for x in s if x["pages"] or x["erases"] or x["updateStarted"]))')
  read -r count ended written <<<"$got"
  [ "$count" = "$n" ] || fail "$4: $v's devices saw $count sessions, expected $n"
  [ "$ended" = "$updated" ] || fail "$4: $v's devices took $ended whole updates, expected $updated"
  [ "${5:-}" != nothing-written ] || [ "$written" = 0 ] || fail "$4: $written of $v's devices were written to"
  echo "  $v: $count sessions, $ended whole updates"
}

run=0
recaps=$work/recaps.txt
: >"$recaps"
playbook() { # NAME EXPECTED_EXIT ARGS...
  local name=$1 expected=$2 rc=0
  shift 2
  run=$((run + 1))
  mark
  ansible-playbook -i "$it/inventory.yml" "$collection/examples/venues.yml" -e "fw_reports=$it/reports" "$@" \
    >"$it/run$run.log" 2>&1 || rc=$?
  {
    echo "== $name: ansible-playbook ${*}"
    sed -n '/^PLAY RECAP/,$p' "$it/run$run.log" | grep -E '^[a-z]+ +:' || true
  } | tee -a "$recaps"
  if [ "$rc" != "$expected" ]; then
    cat "$it/run$run.log"
    fail "$name: ansible-playbook exited $rc, expected $expected"
  fi
}
# The recap of VENUE in the last run: "changed failed" (missing: the venue never ran).
recap() {
  sed -n '/^PLAY RECAP/,$p' "$it/run$run.log" |
    sed -n "s/^$1 *:.* changed=\([0-9]*\) .*failed=\([0-9]*\) .*/\1 \2/p"
}
expect_recap() { # VENUE "CHANGED FAILED" (changed as 0 or more)
  local got
  got=$(recap "$1")
  read -r c f <<<"$got"
  read -r ec ef <<<"$2"
  if [ -z "$got" ] || { [ "$ec" = 0 ] && [ "$c" != 0 ]; } || { [ "$ec" != 0 ] && [ "$c" = 0 ]; } || [ "$f" != "$ef" ]; then
    cat "$it/run$run.log"
    fail "run $run: $1 recap changed=$c failed=$f, expected ${ec/1/1 or more} changed, $ef failed"
  fi
}
state_sum() { cat "$it"/*/state.json 2>/dev/null | sha256sum; }
cfg() { echo "fw_config=$it/fw$1/fw.cfg"; }

playbook "first run" 0 -e "$(cfg 1)"
for v in alpha charlie; do expect_recap "$v" "1 0"; expect_sessions "$v" 3 3 "first run"; done
expect_recap bravo "1 0"
expect_sessions bravo 3 2 "first run"
grep -q 'bravo: changed - 3 devices: 1 failed, 2 ok; not done: 127.0.62.2:2000 failed (9)' "$it/run$run.log" ||
  fail "the first run's summary does not name bravo's faulty device"
for v in "${venues[@]}"; do [ -s "$it/reports/$v.json" ] || fail "no report of $v fetched"; done

before=$(state_sum)
playbook "check mode, a new configuration" 0 --check -e "$(cfg 2)"
for v in "${venues[@]}"; do expect_recap "$v" "1 0"; expect_sessions "$v" 3 0 "check mode" nothing-written; done
[ "$(state_sum)" = "$before" ] || fail "check mode wrote a state report"

playbook "second run" 0 -e "$(cfg 1)"
for v in alpha charlie; do expect_recap "$v" "0 0"; expect_sessions "$v" 0 0 "second run"; done
# Only bravo's faulty device, not updated yet, is tried again (its flash erased again: changed).
expect_recap bravo "1 0"
expect_sessions bravo 1 0 "second run"

stop_sim bravo
start_sim bravo # repaired
playbook "after the repair" 0 -e "$(cfg 1)"
expect_recap bravo "1 0"
expect_sessions bravo 1 1 "after the repair"
playbook "third run" 0 -e "$(cfg 1)"
for v in "${venues[@]}"; do expect_recap "$v" "0 0"; expect_sessions "$v" 0 0 "third run"; done

playbook "a new configuration" 0 -e "$(cfg 2)"
for v in "${venues[@]}"; do expect_recap "$v" "1 0"; expect_sessions "$v" 3 3 "a new configuration"; done

# bravo faulty again, and no failure tolerated: its wave fails, and charlie's wave never starts.
stop_sim bravo
start_sim bravo "${faulty[@]}"
charlie_state=$(sha256sum <"$it/charlie/state.json")
playbook "waves stop at the failing venue" 2 -e "$(cfg 3)" -e fw_max_failed=0
expect_recap alpha "1 0"
expect_sessions alpha 3 3 "waves"
# A failed task counts as failed, not changed.
expect_recap bravo "0 1"
expect_sessions bravo 3 2 "waves"
[ -z "$(recap charlie)" ] || fail "charlie ran after bravo's wave failed: $(recap charlie)"
expect_sessions charlie 0 0 "waves"
[ "$(sha256sum <"$it/charlie/state.json")" = "$charlie_state" ] || fail "charlie's state changed"

part "recaps"
cat "$recaps"
echo "test-ansible: passed ($((SECONDS - started)) s)"
