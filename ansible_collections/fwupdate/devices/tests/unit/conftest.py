# -*- coding: utf-8 -*-
# Copyright: (c) the fwupdate developers
# MIT License (see LICENSE in the collection)
"""Runs the modules in process with fwupdate-cli replaced by its recorded output (fixtures/*.json, recorded
from the simulator by record_fixtures.py)."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import copy
import json
import os

import pytest

from ansible.module_utils import basic
from ansible.module_utils.common.text.converters import to_bytes

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'fixtures')


def load_fixture(name):
    with open(os.path.join(FIXTURES, name + '.json')) as f:
        return json.load(f)


class ModuleExit(Exception):
    def __init__(self, result):
        Exception.__init__(self, result.get('msg'))
        self.result = result


class FakeCli(object):
    """fwupdate-cli as recorded: update answers with the rows and events of its fixture for the devices of the
    list it is given (as the tool would for those devices), inspect with the fingerprint the fixture's report
    gives a configuration (else the recorded inspect's, or the one given)."""

    def __init__(self, update='update_ok', fingerprint=None):
        self.update = load_fixture(update) if isinstance(update, str) else update
        inspect = load_fixture('inspect')
        recorded = json.loads(inspect['stdout'])['fingerprint']
        self.fingerprints = dict((row['config'], row['fingerprint']) for row in (self.update['report'] or {}).get(
            'devices', []) if row.get('config') and row.get('fingerprint') and not fingerprint)
        self.default_fingerprint = fingerprint or recorded
        self.calls = []

    def listed(self, args):
        path = args[args.index('--devices-from') + 1]
        with open(path) as f:
            return [line.strip().split('=')[0] for line in f if line.strip() and not line.startswith('#')]

    def __call__(self, args, **kwargs):
        self.calls.append(list(args))
        if args[1] == 'inspect':
            event = json.loads(load_fixture('inspect')['stdout'])
            event['fingerprint'] = self.fingerprints.get(args[2], self.default_fingerprint)
            return 0, json.dumps(event) + '\n', ''
        fixture = copy.deepcopy(self.update)
        if fixture['report'] is None:
            return fixture['rc'], fixture['stdout'], fixture['stderr']
        devices = self.listed(args)
        report = fixture['report']
        report['devices'] = [r for r in report['devices'] if r['address'] in devices]
        lines = [line for line in fixture['stdout'].splitlines()
                 if json.loads(line).get('device', devices[0]) in devices]
        with open(args[args.index('--report') + 1], 'w') as f:
            json.dump(report, f)
        codes = [r['code'] for r in report['devices']]
        return max(codes) if codes else 0, '\n'.join(lines) + '\n', fixture['stderr']

    def update_calls(self):
        return [c for c in self.calls if c[1] in ('update', 'info', 'scan')]


@pytest.fixture
def run_module(monkeypatch, tmp_path):
    """run_module(module, args, cli, check_mode=False): the module's result, its fwupdate-cli replaced by cli."""

    def run(module, args, cli, check_mode=False):
        args = dict(args, _ansible_check_mode=check_mode, _ansible_tmpdir=str(tmp_path),
                    _ansible_remote_tmp=str(tmp_path), _ansible_keep_remote_files=False)
        monkeypatch.setattr(basic, '_ANSIBLE_ARGS', to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': args})))
        monkeypatch.setattr(basic.AnsibleModule, 'run_command', lambda self, a, **kw: cli(a, **kw))

        def leave(self, **result):
            result.setdefault('failed', False)
            raise ModuleExit(result)

        def fail(self, msg, **result):
            result.update(msg=msg, failed=True)
            raise ModuleExit(result)

        monkeypatch.setattr(basic.AnsibleModule, 'exit_json', leave)
        monkeypatch.setattr(basic.AnsibleModule, 'fail_json', fail)
        with pytest.raises(ModuleExit) as ended:
            module.main()
        return ended.value.result

    return run
