#!/usr/bin/env bash
# The Ansible collection fwupdate.devices (ansible_collections/fwupdate/devices), tested on a copy in the build
# folder: its pytest unit tests; ansible-test sanity, the tests that Debian's packages allow without the
# internet; its tarball (ansible-galaxy collection build, into the build folder); and an integration run of its
# example playbook by ansible-playbook against five venues on this machine (local connection), each with its
# own fwdevsim on its own loopback addresses: one venue with a faulty device, one with devices of several
# hardware versions, one whose devices the tool rolls out in waves that hold.
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

part "integration: five venues in waves"
export ANSIBLE_COLLECTIONS_PATH=$collections ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 \
  ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_HOME=$work/home \
  ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_STDOUT_CALLBACK=default
it=$work/it
mkdir -p "$it"
mkfwcfg=$build/tools/mkfwcfg/mkfwcfg
# Three releases, each with its small image (six pages) and, for the devices of HWV=2.0, one of its own.
declare -A checksum=()
for n in 1 2 3; do
  mkdir -p "$it/fw$n"
  "$mkfwcfg" --write-image "$it/fw$n/fw.bin" --size 1500 --seed "$n" >/dev/null
  "$mkfwcfg" --out "$it/fw$n/fw.cfg" --image "$it/fw$n/fw.bin" --fw-version "$n" >/dev/null
  "$mkfwcfg" --write-image "$it/fw$n/v20.bin" --size 1200 --seed "$((n + 20))" >/dev/null
  "$mkfwcfg" --out "$it/fw$n/v20.cfg" --image "$it/fw$n/v20.bin" --fw-version "$n" >/dev/null
  for c in fw v20; do
    checksum[$n/$c]=$("$build/tools/cli/fwupdate-cli" inspect "$it/fw$n/$c.cfg" --json |
      "$python" -c 'import json, sys; print(json.loads(sys.stdin.readline())["fields"]["Checksum"])')
  done
done

# Venues, in this order (the playbook's waves: alpha, then bravo, then the rest): alpha; bravo, its second
# device faulty (an error reply to page 2); charlie; delta, with devices of three hardware versions (two of
# HWV=1.4, one of 2.0, one of 3.0 for which no configuration is given); echo, whose devices the tool rolls
# out in waves, the first one (a device alone) faulty. Each simulator writes its session lines to a file
# of its own.
venues=(alpha bravo charlie delta echo)
declare -A sims_of=([alpha]=alpha [bravo]=bravo [charlie]=charlie [delta]="delta14 delta20 delta30" [echo]=echo)
declare -A sim=()
start_sim() { # NAME ADDRESS [options]
  local name=$1 address=$2
  shift 2
  : >"$it/$name.sim.err"
  "$build/tools/fwdevsim/fwdevsim" --address "$address" --no-reconnect-port "$@" \
    >>"$it/$name.sessions" 2>"$it/$name.sim.err" &
  sim[$name]=$!
  for _ in $(seq 200); do
    grep -qs '^listening on' "$it/$name.sim.err" && return 0
    kill -0 "${sim[$name]}" 2>/dev/null || break
    sleep 0.05
  done
  cat "$it/$name.sim.err" >&2
  fail "the simulator $name did not start"
}
stop_sim() {
  if [ -n "${sim[$1]:-}" ]; then
    kill "${sim[$1]}" 2>/dev/null || true
    wait "${sim[$1]}" 2>/dev/null || true
    sim[$1]=""
  fi
}
trap 'for s in "${!sim[@]}"; do stop_sim "$s"; done' EXIT
bravo_faulty=(--faulty 1 --error-on-page 2)
echo_faulty=(--faulty 0 --error-on-page 2)
start_sim alpha 127.0.61.1 --count 3
start_sim bravo 127.0.62.1 --count 3 "${bravo_faulty[@]}"
start_sim charlie 127.0.63.1 --count 3
start_sim delta14 127.0.64.1 --count 2 --serial 14000001
start_sim delta20 127.0.64.3 --fw-version 2.0 --serial 20000001
start_sim delta30 127.0.64.4 --fw-version 3.0 --serial 30000001
start_sim echo 127.0.65.1 --count 3 "${echo_faulty[@]}"

# The configurations follow the release given to a run (-e fw_release=N).
{
  echo "venues:"
  echo "  vars:"
  echo "    ansible_connection: local"
  echo "    ansible_python_interpreter: $python"
  echo "    fw_cli: $build/tools/cli/fwupdate-cli"
  echo "    fw_jobs: 3"
  echo "    fw_config: \"$it/fw{{ fw_release }}/fw.cfg\""
  echo "  hosts:"
  for v in "${venues[@]}"; do
    echo "    $v:"
    case $v in
      alpha) echo "      fw_devices: [127.0.61.1, 127.0.61.2, 127.0.61.3]" ;;
      # bravo tolerates its faulty device.
      bravo) echo "      fw_devices: [127.0.62.1, 127.0.62.2, 127.0.62.3]"; echo "      fw_max_failed: 1" ;;
      charlie) echo "      fw_devices: [127.0.63.1, 127.0.63.2, 127.0.63.3]" ;;
      # A configuration per version, none for the others ("1.4" as well as "HWV=2.0" names a version).
      delta)
        echo "      fw_devices: [127.0.64.1, 127.0.64.2, 127.0.64.3, 127.0.64.4]"
        echo "      fw_config: \"\""
        echo "      fw_config_for:"
        echo "        \"1.4\": \"$it/fw{{ fw_release }}/fw.cfg\""
        echo "        HWV=2.0: \"$it/fw{{ fw_release }}/v20.cfg\""
        ;;
      # The tool holds the rest once its first wave failed; the venue tolerates all its devices not done.
      echo)
        echo "      fw_devices: [127.0.65.1, 127.0.65.2, 127.0.65.3]"
        echo "      fw_waves: 1,100%"
        echo "      fw_tool_max_failed: 0"
        echo "      fw_max_failed: 3"
        ;;
    esac
    echo "      fw_state_report: $it/$v/state.json"
    echo "      fw_log: $it/$v/fwupdate-cli.log"
  done
} >"$it/inventory.yml"
for v in "${venues[@]}"; do mkdir -p "$it/$v"; done

lines() { [ -f "$it/$1.sessions" ] && wc -l <"$it/$1.sessions" || echo 0; }
declare -A seen=()
mark() { for s in ${sims_of[*]}; do seen[$s]=$(lines "$s"); done; }
venue_new() { # VENUE: how many session lines its simulators wrote since the last mark
  local s n=0
  for s in ${sims_of[$1]}; do n=$((n + $(lines "$s") - ${seen[$s]})); done
  echo "$n"
}
# The session lines a venue's simulators wrote since the last mark, once there are N of them (a line comes
# when the tool closes the session); none are expected with N=0.
new_sessions() { # VENUE N [SIM]: the lines of SIM only when given
  local v=$1 n=$2 s
  for _ in $(seq 400); do
    [ "$(venue_new "$v")" -ge "$n" ] && break
    sleep 0.05
  done
  for s in ${3:-${sims_of[$v]}}; do tail -n +"$((${seen[$s]} + 1))" "$it/$s.sessions"; done
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
# delta's devices, after expect_sessions: each version's devices received its own image whole (the checksum of
# what they received), and the device of HWV=3.0 nothing.
expect_versions() { # RELEASE N14 N20 N30 WHAT: new sessions of the simulators of HWV=1.4, 2.0 and 3.0
  local n=$1 s got want
  got=$(for s in delta14 delta20 delta30; do
    echo "$s $(new_sessions delta 0 "$s" | "$python" -c '
import json, sys
s = [json.loads(l) for l in sys.stdin if l.strip()]
print(",".join(str(x["checksum"]) if x["whole"] else "partial" if x["pages"] or x["erases"] else "nothing" for x in s))')"
  done)
  want=$("$python" -c 'import sys; a = sys.argv[1:]
for name, n, what in zip(("delta14", "delta20", "delta30"), a[0::2], a[1::2]):
    print(name, ",".join([what] * int(n)))' "$2" "${checksum[$n/fw]}" "$3" "${checksum[$n/v20]}" "$4" nothing)
  [ "$got" = "$want" ] || fail "$5: delta's devices received"$'\n'"$got"$'\n'"expected"$'\n'"$want"
  echo "  delta: each version its own image:" $got
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
expect_said() { # TEXT WHAT: the playbook's output says TEXT
  grep -qF -- "$1" "$it/run$run.log" || { cat "$it/run$run.log"; fail "$2: the output does not say: $1"; }
}
state_sum() { cat "$it"/*/state.json 2>/dev/null | sha256sum; }
release() { echo "fw_release=$1"; }

playbook "first run" 0 -e "$(release 1)"
for v in alpha charlie; do expect_recap "$v" "1 0"; expect_sessions "$v" 3 3 "first run"; done
expect_recap bravo "1 0"
expect_sessions bravo 3 2 "first run"
expect_said 'bravo: changed - 3 devices: 1 failed, 2 ok; not done: 127.0.62.2:2000 failed (9)' "first run"
expect_recap delta "1 0"
expect_sessions delta 4 3 "first run"
expect_versions 1 2 1 1 "first run"
expect_said 'delta: changed - 4 devices: 3 ok, 1 skipped' "first run"
# echo: its first device failed, the tool held the two others: reported, never connected.
expect_recap echo "1 0"
expect_sessions echo 1 0 "first run"
expect_said 'echo: changed - 3 devices: 1 failed, 2 held; not done: 127.0.65.1:2000 failed (9)' "first run"
expect_said '127.0.65.2:2000, 127.0.65.3:2000 held (10): held: 1 device failed (127.0.65.1:2000)' "first run"
for v in "${venues[@]}"; do [ -s "$it/reports/$v.json" ] || fail "no report of $v fetched"; done

before=$(state_sum)
playbook "check mode, a new configuration" 0 --check -e "$(release 2)"
for v in alpha bravo charlie echo; do
  expect_recap "$v" "1 0"
  expect_sessions "$v" 3 0 "check mode" nothing-written
done
# delta's device of HWV=3.0 is not connected: no configuration is given for the version it reported.
expect_recap delta "1 0"
expect_sessions delta 3 0 "check mode" nothing-written
[ "$(state_sum)" = "$before" ] || fail "check mode wrote a state report"

playbook "second run" 0 -e "$(release 1)"
for v in alpha charlie delta; do expect_recap "$v" "0 0"; expect_sessions "$v" 0 0 "second run"; done
expect_said 'delta: unchanged - 4 devices: 1 skipped, 3 unchanged' "second run"
# Only bravo's faulty device, not updated yet, is tried again (its flash erased again: changed); echo's
# rollout begins again with its faulty device, and holds the two others again.
expect_recap bravo "1 0"
expect_sessions bravo 1 0 "second run"
expect_recap echo "1 0"
expect_sessions echo 1 0 "second run"

stop_sim bravo
start_sim bravo 127.0.62.1 --count 3 # repaired
stop_sim echo
start_sim echo 127.0.65.1 --count 3 # repaired: its rollout goes on to the devices it held
playbook "after the repair" 0 -e "$(release 1)"
expect_recap bravo "1 0"
expect_sessions bravo 1 1 "after the repair"
expect_recap echo "1 0"
expect_sessions echo 3 3 "after the repair"
playbook "third run" 0 -e "$(release 1)"
for v in "${venues[@]}"; do expect_recap "$v" "0 0"; expect_sessions "$v" 0 0 "third run"; done

playbook "a new configuration" 0 -e "$(release 2)"
for v in alpha bravo charlie echo; do expect_recap "$v" "1 0"; expect_sessions "$v" 3 3 "a new configuration"; done
expect_recap delta "1 0"
expect_sessions delta 3 3 "a new configuration"
expect_versions 2 2 1 0 "a new configuration"

# bravo faulty again, and no failure tolerated: its wave fails, and the last wave never starts.
stop_sim bravo
start_sim bravo 127.0.62.1 --count 3 "${bravo_faulty[@]}"
declare -A last_state=()
for v in charlie delta echo; do last_state[$v]=$(sha256sum <"$it/$v/state.json"); done
playbook "waves stop at the failing venue" 2 -e "$(release 3)" -e fw_max_failed=0
expect_recap alpha "1 0"
expect_sessions alpha 3 3 "waves"
# A failed task counts as failed, not changed.
expect_recap bravo "0 1"
expect_sessions bravo 3 2 "waves"
for v in charlie delta echo; do
  [ -z "$(recap "$v")" ] || fail "$v ran after bravo's wave failed: $(recap "$v")"
  expect_sessions "$v" 0 0 "waves"
  [ "$(sha256sum <"$it/$v/state.json")" = "${last_state[$v]}" ] || fail "$v's state changed"
done

part "recaps"
cat "$recaps"
echo "test-ansible: passed ($((SECONDS - started)) s)"
