#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: (c) the fwupdate developers
# MIT License (see LICENSE in the collection)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: device_update
short_description: Update the firmware of a venue's DSP audio processors with fwupdate-cli
version_added: 1.4.0
description:
  - Runs C(fwupdate-cli update) on the venue's computer (the managed host) for a list of devices, with
    C(--json) and C(--report), and turns its JSON into return values; the tool's text output is never read.
  - Idempotent. A state report on the venue's computer (I(state_report)) records each device's last update.
    A device whose last recorded update ended OK with the same configuration and image (the same
    fingerprint, the SHA-256 of the configuration file and its image that C(fwupdate-cli inspect --json)
    gives, whatever the files are called) is not connected at all and is returned with the result
    C(unchanged). A new configuration or image updates every device again.
  - With I(config_for) or I(only_version), the configuration a device gets follows the version it reports, as
    fwupdate-cli chooses it - the device's own configuration (C(HOST=FILE.cfg)) first, then the one for its
    version, then I(config). A device that the state report shows with a version for which no configuration
    is given (or not I(only_version)) is not connected either and is returned C(skipped), as the tool would
    skip it; a device whose version is not known yet is handed to the tool, which tells it.
  - In check mode the tool runs with C(--dry-run); every check runs and nothing is written to any device;
    C(changed) tells whether a device would be updated. The state report is not written in check mode.
  - C(changed) is true when the run programmed a device (it ended OK, or its flash was erased and left
    incomplete). C(failed) is true when fwupdate-cli itself failed (exit code 1, 2, or a stop signal), or when
    more devices did not end with code 0 than I(max_failed) tolerates. A run with nothing to do succeeds
    with C(changed=false).
  - The tool's rollout within the venue (I(waves), I(tool_max_failed)) decides which devices begin; once it
    holds, the devices not begun end C(held) (code 10, untouched) and are returned as such, in I(devices) and
    in I(held). Whether the task fails is decided after the run by I(max_failed), which counts the held
    devices too.
author: the fwupdate developers (!UNKNOWN)
requirements:
  - fwupdate-cli 1.4 or later on the managed host (the Debian package C(fwupdate), or C(fwupdate-cli.exe)
    on Windows, where the C(fwupdate.devices.update_result) filter serves instead of this module)
options:
  devices:
    description:
      - Devices as C(HOST[:PORT]), or C(HOST[:PORT]=FILE.cfg) for a device with a configuration of its own.
      - The port defaults to I(port).
    type: list
    elements: str
  devices_from:
    description:
      - A device list on the managed host, as C(fwupdate-cli --devices-from) reads it (one
        C(HOST[:PORT][=FILE.cfg]) a line, C(#) comments). Its devices come after those of I(devices).
    type: path
  port:
    description: The port of every device given without one.
    type: int
    default: 2000
  config:
    description:
      - The firmware configuration file (C(*.cfg)) on the managed host for every device without a
        configuration of its own (and, with I(config_for), without one for its version).
    type: path
  config_for:
    description:
      - A configuration per version as the devices report it, for example C(HWV=1.4) to C(/srv/q7-14.cfg).
        Passed as C(--config-for VERSION=FILE.cfg); a device that reports a version no entry names, and has
        no other configuration, ends C(skipped) (code 0, untouched).
      - The version may be given without C(HWV=) (C(1.4)); quote it in YAML, where C(1.10) unquoted is the
        number 1.1.
    type: dict
  only_version:
    description:
      - Only the devices that report this version (C(HWV=1.4), or C(1.4)) are updated (C(--only-version));
        the others end C(skipped) (code 0, untouched).
    type: str
  jobs:
    description: At most this many devices are programmed at once (C(--jobs)); the tool's default when not given.
    type: int
  retries:
    description: Attempts after a lost link, no answer or an error reply (C(--retries)).
    type: int
    default: 0
  admin:
    description: Administrator mode (C(--admin)), which lifts the OEM rule.
    type: bool
    default: false
  timeout:
    description: Seconds to wait for a device's identification answers (C(--timeout)).
    type: int
  max_failed:
    description:
      - The task's own threshold, judged after the run - how many devices may end with a code other than 0
        (failed, no connection, refused by a rule or by its configuration or image, held by the tool's rollout)
        before the task fails, as a count (C(2)) or a percentage of the task's devices (C(10%)); the task fails
        once more than that did. The devices are returned either way.
      - It never stops a device; with a play's C(max_fail_percentage), a failed task stops the venues of the
        later waves of the play. Compare I(tool_max_failed), which stops devices within the venue.
    type: raw
    default: 0
  waves:
    description:
      - The tool's rollout within the venue (C(--waves)) - cumulative sizes, counts or percentages of the
        devices handed to the tool, in list order, for example C(1,10%,100%) (one device alone, then up to a
        tenth, then the rest). A wave begins once every device of the one before has ended. Without
        I(tool_max_failed), a wave that ends with a failure holds the rest - they end C(held), untouched.
      - The devices left out as up to date are not counted. C(N,100%) is the tool's C(--canary N).
    type: str
  tool_max_failed:
    description:
      - The tool's threshold (C(--max-failed)), judged while it runs - once more devices have failed than
        this count (C(2)), or than this percentage of the devices that have ended (C(10%)), no further device
        begins programming - those being programmed finish, the others end C(held) (exit code 10,
        untouched). It counts failed updates, no connection and an unusable configuration or image, not a
        refusal by the OEM or serial rule.
      - It decides which devices are tried, not whether the task fails; that is I(max_failed).
    type: raw
  state_report:
    description:
      - The state report on the managed host, in the tool's JSON report form (one row per device, its last
        update or what the device last answered). Defaults to C($XDG_STATE_HOME/fwupdate/ansible-devices.json),
        that is C(~/.local/state/fwupdate/ansible-devices.json) of the remote user.
      - An empty string keeps no state, and every device is handed to the tool.
    type: path
  force:
    description: Update every device, also those the state report shows up to date (the state is still written).
    type: bool
    default: false
  log:
    description: The tool's log file (C(--log)); the tool's default when not given.
    type: path
  cli:
    description: The fwupdate-cli program on the managed host.
    type: str
    default: fwupdate-cli
notes:
  - A device is skipped by what the state report recorded, without connecting it; a device replaced by another
    one at the same address is updated once I(force=true) is given or its row is removed from the state report.
  - Which configuration a device would get, to compare fingerprints, is taken as fwupdate-cli takes it - its own,
    else the one of I(config_for) for the version it reported at its last connection, else I(config).
  - A device replaced by one of another version at the same address keeps its recorded version until the
    tool connects it again (I(force=true)).
seealso:
  - module: fwupdate.devices.device_info
'''

EXAMPLES = r'''
- name: Update the venue's devices, one failure tolerated
  fwupdate.devices.device_update:
    devices_from: /etc/fwupdate/venue.txt
    config: /srv/firmware/release-2.cfg
    jobs: 8
    retries: 2
    max_failed: 1
  register: fw

- name: Each hardware version its own firmware
  fwupdate.devices.device_update:
    devices:
      - 10.20.0.11
      - 10.20.0.12:2001
    config_for:
      HWV=1.4: /srv/firmware/q7-v14.cfg
      HWV=2.0: /srv/firmware/q7-v20.cfg

- name: Only the devices of one version
  fwupdate.devices.device_update:
    devices_from: /etc/fwupdate/venue.txt
    config: /srv/firmware/q7-v20.cfg
    only_version: HWV=2.0

- name: One device first, then a tenth, then the rest; the rollout holds at the third failure, the task fails at the first
  fwupdate.devices.device_update:
    devices_from: /etc/fwupdate/venue.txt
    config: /srv/firmware/release-2.cfg
    waves: 1,10%,100%
    tool_max_failed: 2
    max_failed: 0
  register: fw

- name: Name the devices the rollout held
  ansible.builtin.debug:
    msg: "held, untouched: {{ fw.held | join(', ') }}"
  when: fw.held | length > 0

- name: What would be updated (fwupdate-cli --dry-run; nothing is written)
  fwupdate.devices.device_update:
    devices_from: /etc/fwupdate/venue.txt
    config: /srv/firmware/release-2.cfg
  check_mode: true
'''

RETURN = r'''
changed:
  description: A device was programmed, that is ended OK or had its flash erased (check mode - would be). Devices
    held or skipped were not.
  type: bool
  returned: always
failed:
  description: The tool failed, or more devices did not end with code 0 than I(max_failed) tolerates.
  type: bool
  returned: always
msg:
  description: The run in a few words; each device not done with its result, code and detail.
  type: str
  returned: always
  sample: "3 devices: 1 failed, 2 ok; not done: 10.20.0.13:2000 failed (9): update failed: link lost"
rc:
  description: fwupdate-cli's exit code (the highest code of its devices, 10 when its rollout held devices and
    none failed worse), 0 when no device had to be run.
  type: int
  returned: always
devices:
  description: One entry per device, those run first in the tool's order, then those skipped as up to date.
  type: list
  elements: dict
  returned: always
  contains:
    address:
      description: HOST:PORT.
      type: str
    serial:
      description: The serial number the device reported.
      type: int
    version:
      description: The version the device reported, as C(HWV=H.L).
      type: str
    result:
      description:
        - C(ok), C(dry-run), C(failed), C(no-connection), C(oem-rule), C(serial-rule), C(bad-config),
          C(image-not-found), C(invalid-binary), C(image-too-large), C(interrupted), C(internal), C(held) (the
          tool's rollout held it before it began, code 10, untouched), C(skipped) (no configuration for its
          version, or not I(only_version), code 0, untouched).
        - C(unchanged) for a device not connected because it is up to date; C(skipped) with a detail that
          begins C(not connected) for one not connected because of the version it reported before.
      type: str
    code:
      description: The exit code of that result.
      type: int
    flash:
      description: C(untouched), C(incomplete) or C(updated).
      type: str
    detail:
      description: How it ended, in words.
      type: str
    kennung:
      description: The OEM id the device reported.
      type: int
    name:
      description: The name the device reported.
      type: str
    deviceName:
      description: The device name it reported.
      type: str
    config:
      description: The configuration file it was given.
      type: str
    fingerprint:
      description: The fingerprint of that configuration with its image.
      type: str
    attempts:
      description: How many attempts ran.
      type: int
    wave:
      description: The wave of the tool's rollout the device was in, from 1 (I(waves)); null without waves.
      type: int
counts:
  description: How many devices ended with each result.
  type: dict
  returned: always
  sample: {"ok": 2, "failed": 1, "unchanged": 5}
failed_devices:
  description: How many devices did not end with code 0 (the held ones included).
  type: int
  returned: always
held:
  description: The devices the tool's rollout held, untouched (result C(held)), as HOST:PORT.
  type: list
  elements: str
  returned: always
  sample: ["10.20.0.12:2000", "10.20.0.13:2001"]
fingerprints:
  description: The fingerprint of each configuration given (null for one that cannot be read).
  type: dict
  returned: always
state_report:
  description: The state report's path on the managed host (empty when no state is kept).
  type: str
  returned: always
'''

import json
import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.fwupdate.devices.plugins.module_utils.fwupdate_cli import (
    ToolOutputError, chosen_config, default_state_report, device_version, inspect_fingerprint, load_state,
    merge_state, outcome, parse_json_lines, parse_max_failed, parse_report, read_device_list, skipped_entry,
    split_device, unchanged_entry, up_to_date, write_device_list, write_state)


def fingerprints_of(module, cli, configs):
    """inspect --json of each configuration: its fingerprint, or None when it cannot be read."""
    found = {}
    for config in configs:
        rc, out, err = module.run_command([cli, 'inspect', config, '--json'])
        try:
            found[config] = inspect_fingerprint(parse_json_lines(out))
        except ToolOutputError:
            found[config] = None
    return found


def update_args(p, device_list, report, check_mode):
    args = [p['cli'], 'update', '--devices-from', device_list, '--port', str(p['port']), '--json',
            '--report', report]
    if p['config']:
        args += ['--config', p['config']]
    for version, config in sorted((p['config_for'] or {}).items()):
        args += ['--config-for', '%s=%s' % (version, config)]
    if p['only_version']:
        args += ['--only-version', p['only_version']]
    if p['jobs'] is not None:
        args += ['--jobs', str(p['jobs'])]
    if p['retries']:
        args += ['--retries', str(p['retries'])]
    if p['admin']:
        args.append('--admin')
    if p['timeout'] is not None:
        args += ['--timeout', str(p['timeout'])]
    if p['waves']:
        args += ['--waves', p['waves']]
    if p['tool_max_failed'] is not None:
        args += ['--max-failed', str(p['tool_max_failed']).strip()]
    if p['log']:
        args += ['--log', p['log']]
    if check_mode:
        args.append('--dry-run')
    return args


def main():
    module = AnsibleModule(
        argument_spec=dict(
            devices=dict(type='list', elements='str'),
            devices_from=dict(type='path'),
            port=dict(type='int', default=2000),
            config=dict(type='path'),
            config_for=dict(type='dict'),
            only_version=dict(type='str'),
            jobs=dict(type='int'),
            retries=dict(type='int', default=0),
            admin=dict(type='bool', default=False),
            timeout=dict(type='int'),
            max_failed=dict(type='raw', default=0),
            waves=dict(type='str'),
            tool_max_failed=dict(type='raw'),
            state_report=dict(type='path'),
            force=dict(type='bool', default=False),
            log=dict(type='path'),
            cli=dict(type='str', default='fwupdate-cli'),
        ),
        required_one_of=[('devices', 'devices_from')],
        supports_check_mode=True,
    )
    p = module.params
    for name in ('max_failed', 'tool_max_failed'):
        try:
            if p[name] is not None:
                percent = parse_max_failed(p[name])[1]
                # The tool takes whole percentages only.
                if name == 'tool_max_failed' and percent is not None and percent != int(percent):
                    raise ValueError('a whole percentage')
        except ValueError as e:
            module.fail_json(msg='%s %s: give a count or a percentage (%s)' % (name, p[name], e))
    # The versions as the devices report them ("1.4" is "HWV=1.4"), as the tool reads them, so that the
    # state report's versions find their configuration.
    config_for = {}
    for key, config in (p['config_for'] or {}).items():
        version = device_version(key)
        if version is None:
            module.fail_json(msg='config_for %s: give a version as the devices report it (HWV=1.4)' % key)
        if version in config_for:
            module.fail_json(msg='config_for names %s twice' % version)
        config_for[version] = str(config)
    p['config_for'] = config_for
    if p['only_version'] is not None:
        version = device_version(p['only_version'])
        if version is None:
            module.fail_json(msg='only_version %s: give a version as the devices report it (HWV=1.4)'
                                 % p['only_version'])
        p['only_version'] = version

    devices = [split_device(d, p['port']) for d in p['devices'] or []]
    if p['devices_from']:
        try:
            devices += read_device_list(p['devices_from'], p['port'])
        except (IOError, OSError) as e:
            module.fail_json(msg='devices_from %s cannot be read: %s' % (p['devices_from'], e))
    if not devices:
        module.exit_json(changed=False, msg='no devices', rc=0, devices=[], counts={}, failed_devices=0,
                         held=[], fingerprints={}, state_report='')
    without = [a for a, c in devices if not c]
    if without and not p['config'] and not config_for:
        module.fail_json(msg='no configuration for %s: give config or config_for, or HOST[:PORT]=FILE.cfg'
                             % ', '.join(without))

    state_path = default_state_report() if p['state_report'] is None else p['state_report']
    state = {}
    if state_path:
        try:
            state = load_state(state_path)
        except (IOError, OSError, ToolOutputError) as e:
            module.fail_json(msg='the state report %s cannot be read (%s): repair or remove it, and every '
                                 'device is updated again' % (state_path, e), state_report=state_path)

    configs = []
    for config in [p['config']] + [c for a, c in devices] + list(config_for.values()):
        if config and config not in configs:
            configs.append(config)
    fingerprints = fingerprints_of(module, p['cli'], configs)

    to_run, not_run = [], []
    for address, config in devices:
        row = state.get(address)
        chosen, skip = chosen_config(config, row, p['config'], config_for, p['only_version'])
        if p['force']:
            to_run.append((address, config))
        elif skip:
            not_run.append(skipped_entry(row, skip))
        elif up_to_date(row, fingerprints.get(chosen) if chosen else None):
            not_run.append(unchanged_entry(row))
        else:
            to_run.append((address, config))

    rc, out, err, report = None, '', '', None
    if to_run:
        device_list = os.path.join(module.tmpdir, 'devices.txt')
        report_path = os.path.join(module.tmpdir, 'report.json')
        write_device_list(device_list, to_run)
        rc, out, err = module.run_command(update_args(p, device_list, report_path, module.check_mode))
        try:
            events = parse_json_lines(out)
            if os.path.exists(report_path):
                with open(report_path, 'rb') as f:
                    report = parse_report(f.read().decode('utf-8', errors='replace'))
        except ToolOutputError as e:
            module.fail_json(msg=str(e), rc=rc, stderr=err, state_report=state_path)
    else:
        events = []

    result = outcome(rc, events, report, module.check_mode, p['max_failed'], not_run, err)
    result.update(fingerprints=fingerprints, state_report=state_path or '')
    if err:
        result['stderr'] = err
    if report and state_path and not module.check_mode:
        try:
            write_state(state_path, merge_state(state, report['devices']), report.get('run'))
        except (IOError, OSError) as e:
            result['failed'] = True
            result['msg'] += '; the state report %s cannot be written: %s' % (state_path, e)
    if result['failed']:
        module.fail_json(**result)
    if result['failed_devices']:
        module.warn(result['msg'])
    module.exit_json(**result)


if __name__ == '__main__':
    main()
