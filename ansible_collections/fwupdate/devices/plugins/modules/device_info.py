#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: (c) the fwupdate developers
# MIT License (see LICENSE in the collection)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: device_info
short_description: Identify a venue's DSP audio processors with fwupdate-cli
version_added: 1.4.0
description:
  - Runs C(fwupdate-cli info) (a list of devices, with C(--json) and C(--report)) or C(fwupdate-cli scan)
    (a range, with C(--json)) on the venue's computer and returns each device's identity, also as the fact
    C(fwupdate_devices). Only the tool's JSON is read, never its text.
  - Never changes anything; the devices receive only the identification reads.
  - Fails when fwupdate-cli does (a listed device that does not answer, exit code 4; a range in which no
    device answers; a usage error), with the devices that did answer still returned.
author: the fwupdate developers (!UNKNOWN)
requirements:
  - fwupdate-cli 1.4 or later on the managed host
options:
  devices:
    description: Devices as C(HOST[:PORT]); the port defaults to I(port).
    type: list
    elements: str
  devices_from:
    description: A device list on the managed host, as C(fwupdate-cli --devices-from) reads it.
    type: path
  range:
    description:
      - A range to scan instead, C(A.B.C.D/NN) (at most a /16), C(A.B.C.D-E) or one address, at I(port).
        Addresses that do not answer are left out; those that take the connection without identifying are
        returned with the result C(unidentified).
    type: str
  port:
    description: The port of every device given without one, and of a range.
    type: int
    default: 2000
  timeout:
    description: Seconds to wait for a device's identification answers (C(--timeout); not for a range).
    type: int
  log:
    description: The tool's log file (C(--log)); the tool's default when not given.
    type: path
  cli:
    description: The fwupdate-cli program on the managed host.
    type: str
    default: fwupdate-cli
seealso:
  - module: fwupdate.devices.device_update
'''

EXAMPLES = r'''
- name: Find the devices of the venue's network
  fwupdate.devices.device_info:
    range: 10.20.0.0/24

- name: Identify the listed devices
  fwupdate.devices.device_info:
    devices_from: /etc/fwupdate/venue.txt
  register: found

- name: Update exactly the devices found
  fwupdate.devices.device_update:
    devices: "{{ fwupdate_devices | map(attribute='address') | list }}"
    config: /srv/firmware/release-2.cfg
'''

RETURN = r'''
devices:
  description: One entry per device (in list or address order).
  type: list
  elements: dict
  returned: always
  contains:
    address:
      description: HOST:PORT.
      type: str
    result:
      description: C(ok) (it answered), C(no-connection), C(unidentified) (a range's address that took the
        connection without identifying), C(interrupted), C(internal).
      type: str
    code:
      description: The exit code of that result.
      type: int
    kennung:
      description: The OEM id.
      type: int
    serial:
      description: The serial number.
      type: int
    version:
      description: The version, as C(HWV=H.L).
      type: str
    name:
      description: The name.
      type: str
    oemName:
      description: The OEM name.
      type: str
    deviceName:
      description: The device name.
      type: str
    libraryName:
      description: The library name.
      type: str
    detail:
      description: Why a device did not answer.
      type: str
ansible_facts:
  description: The same devices as the fact C(fwupdate_devices).
  type: dict
  returned: always
  contains:
    fwupdate_devices:
      description: The devices.
      type: list
      elements: dict
msg:
  description: How many devices answered.
  type: str
  returned: always
rc:
  description: fwupdate-cli's exit code.
  type: int
  returned: always
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.fwupdate.devices.plugins.module_utils.fwupdate_cli import (
    ToolOutputError, exit_code_text, parse_json_lines, parse_report, read_device_list, split_device,
    summary_of, write_device_list)

IDENTITY = ('kennung', 'serial', 'version', 'name', 'oemName', 'deviceName', 'libraryName')


def info_entry(row):
    entry = dict(address=row['address'], result=row.get('result'), code=row.get('code'),
                 detail=row.get('detail'))
    for key in IDENTITY:
        entry[key] = row.get(key)
    return entry


def scan_entries(events):
    """The devices of scan --json: a "found" event each, and the addresses that took the connection but did not
    identify ("unidentified")."""
    entries = []
    for event in events:
        if event.get('event') == 'found':
            entries.append(info_entry(dict(event, address=event['device'], result='ok', code=0)))
        elif event.get('event') == 'unidentified':
            entries.append(info_entry(dict(address=event['device'], result='unidentified', code=4,
                                           detail=event.get('detail'))))
    return entries


def main():
    module = AnsibleModule(
        argument_spec=dict(
            devices=dict(type='list', elements='str'),
            devices_from=dict(type='path'),
            range=dict(type='str'),
            port=dict(type='int', default=2000),
            timeout=dict(type='int'),
            log=dict(type='path'),
            cli=dict(type='str', default='fwupdate-cli'),
        ),
        required_one_of=[('devices', 'devices_from', 'range')],
        mutually_exclusive=[('range', 'devices'), ('range', 'devices_from')],
        supports_check_mode=True,
    )
    p = module.params
    if p['range']:
        args = [p['cli'], 'scan', p['range'], '--port', str(p['port']), '--json']
    else:
        devices = [split_device(d, p['port']) for d in p['devices'] or []]
        if p['devices_from']:
            try:
                devices += read_device_list(p['devices_from'], p['port'])
            except (IOError, OSError) as e:
                module.fail_json(msg='devices_from %s cannot be read: %s' % (p['devices_from'], e))
        device_list = os.path.join(module.tmpdir, 'devices.txt')
        write_device_list(device_list, [(address, None) for address, config in devices])
        report_path = os.path.join(module.tmpdir, 'report.json')
        args = [p['cli'], 'info', '--devices-from', device_list, '--port', str(p['port']), '--json',
                '--report', report_path]
        if p['timeout'] is not None:
            args += ['--timeout', str(p['timeout'])]
    if p['log']:
        args += ['--log', p['log']]

    rc, out, err = module.run_command(args)
    try:
        events = parse_json_lines(out)
        if p['range']:
            entries = scan_entries(events)
        elif os.path.exists(report_path):
            with open(report_path, 'rb') as f:
                entries = [info_entry(row) for row in parse_report(f.read().decode('utf-8', 'replace'))['devices']]
        else:
            entries = []
    except ToolOutputError as e:
        module.fail_json(msg=str(e), rc=rc, stderr=err)

    answered = len([e for e in entries if e['code'] == 0])
    msg = '%d of %d device%s answered' % (answered, len(entries), '' if len(entries) == 1 else 's')
    if p['range']:
        msg = '%s: %d device%s answered' % (p['range'], answered, '' if answered == 1 else 's')
    result = dict(changed=False, devices=entries, ansible_facts=dict(fwupdate_devices=entries), rc=rc, msg=msg)
    if rc != 0 or summary_of(events) is None:
        result['msg'] = '%s; fwupdate-cli ended with %d (%s)%s' % (
            msg, rc, exit_code_text(rc), (': ' + err.strip()) if err.strip() else '')
        result['stderr'] = err
        module.fail_json(**result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
