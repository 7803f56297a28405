# -*- coding: utf-8 -*-
# Copyright: (c) the fwupdate developers
# MIT License (see LICENSE in the collection)
"""The filter update_result: fwupdate-cli's JSON (its --report file, or its --json lines) as the same changed,
failed and devices values as the device_update module gives, for venue computers where the module cannot
run (Windows, through ansible.windows.win_command)."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
name: update_result
short_description: fwupdate-cli's JSON as changed, failed and devices
version_added: 1.4.0
description:
  - Turns what C(fwupdate-cli update --json --report FILE.json) wrote into the values the
    M(fwupdate.devices.device_update) module returns - C(changed), C(failed), C(msg), C(rc), C(devices),
    C(counts), C(failed_devices), C(held) - for venue computers running Windows, where the tool runs through
    C(ansible.windows.win_command).
  - The tool's exit code 10 (its rollout, C(--waves) or C(--max-failed), held devices before they began) is no
    failure of the tool; the held devices count for I(max_failed) as devices not done.
  - The input is the report (its text, as read with C(ansible.builtin.slurp) and C(b64decode), or the parsed
    object), or the C(--json) lines of standard output (C(stdout) of the command's result), which tell each
    device's address, identity and end but not its configuration or fingerprint.
author: the fwupdate developers (!UNKNOWN)
positional: _input, rc
options:
  _input:
    description: The report, as JSON text or object, or the JSON lines the tool printed.
    type: raw
    required: true
  rc:
    description: The tool's exit code (C(rc) of the command's result); without it only the devices decide.
    type: int
  check_mode:
    description: The tool ran with C(--dry-run); C(changed) then tells whether a device would be updated.
    type: bool
    default: false
  max_failed:
    description:
      - How many devices may end with a code other than 0 (the held ones included) before C(failed) is true,
        a count or a percentage (C(10%)) of the devices. The tool's own C(--max-failed), given on its command
        line, holds devices while it runs; this one only judges the result.
    type: raw
    default: 0
  events:
    description: With a report as input, the JSON lines too, so that a run that ended without its summary fails.
    type: str
'''

EXAMPLES = r'''
- name: Update the devices of a Windows venue computer
  ansible.windows.win_command: >-
    "C:\Program Files\fwupdate\fwupdate-cli.exe" update --devices-from C:\fwupdate\venue.txt
    --config C:\fwupdate\release-2.cfg --waves 1,10%,100% --max-failed 2
    --json --report C:\fwupdate\last-run.json --replace
  register: run
  changed_when: (run.stdout | fwupdate.devices.update_result(rc=run.rc)).changed
  failed_when: (run.stdout | fwupdate.devices.update_result(rc=run.rc, max_failed=1)).failed

- name: The devices, from the report
  ansible.builtin.slurp:
    src: C:\fwupdate\last-run.json
  register: report

- name: Show what was not done
  ansible.builtin.debug:
    msg: "{{ (report.content | b64decode | fwupdate.devices.update_result(rc=run.rc, events=run.stdout)).msg }}"
'''

RETURN = r'''
_value:
  description: C(changed), C(failed), C(msg), C(rc), C(devices) (address, serial, version, result, code, flash,
    detail, wave, ...), C(counts) (devices per result), C(failed_devices) and C(held) (the addresses of the
    devices the tool's rollout held), as the module returns them.
  type: dict
'''

import json

from ansible.errors import AnsibleFilterError
from ansible.module_utils.common.text.converters import to_text
from ansible_collections.fwupdate.devices.plugins.module_utils.fwupdate_cli import (
    ToolOutputError, outcome, parse_json_lines, parse_max_failed, parse_report)


def update_result(data, rc=None, check_mode=False, max_failed=0, events=None):
    try:
        parse_max_failed(max_failed)
    except ValueError as e:
        raise AnsibleFilterError('update_result: max_failed %s: give a count or a percentage (%s)' % (max_failed, e))
    try:
        report = None
        if isinstance(data, dict):
            report = parse_report(json.dumps(data))
            lines = parse_json_lines(to_text(events)) if events else None
        else:
            text = to_text(data).lstrip(u'\ufeff').strip()
            first = text.split('\n', 1)[0]
            if not text or (first.startswith('{') and '"event"' in first):
                lines = parse_json_lines(text)
            else:
                report = parse_report(text)
                lines = parse_json_lines(to_text(events)) if events else None
    except ToolOutputError as e:
        raise AnsibleFilterError('update_result: %s' % e)
    if lines is None:
        # Only the report: the run ended when its run object names an exit code.
        run = report.get('run') or {}
        if rc is None:
            rc = run.get('exitCode')
        lines = [{'event': 'summary'}] if run.get('exitCode') is not None else []
    if rc is None:
        summary = [e for e in lines if e.get('event') == 'summary']
        rc = summary[-1].get('code') if summary else None
    result = outcome(rc, lines, report, check_mode, max_failed)
    if rc is None:
        # Nothing tells how the tool ended: never a success.
        result['failed'] = True
        result['msg'] = 'fwupdate-cli did not tell how it ended; ' + result['msg']
    return result


class FilterModule(object):
    def filters(self):
        return {'update_result': update_result}
