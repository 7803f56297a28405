# -*- coding: utf-8 -*-
# Copyright: (c) the fwupdate developers
# MIT License (see LICENSE in the collection)
"""device_update on fwupdate-cli's recorded JSON: the exit codes and results as changed/failed, check mode,
max_failed, config_for, and the state report that makes a second run touch no device."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json

import pytest

from ansible_collections.fwupdate.devices.plugins.modules import device_update
from ansible_collections.fwupdate.devices.tests.unit.conftest import FakeCli, load_fixture

THREE = ['127.0.42.1', '127.0.42.2', '127.0.42.3']  # the third one faulty
GOOD = ['127.0.42.11', '127.0.42.12', '127.0.42.13']


@pytest.mark.parametrize('fixture, devices, extra, changed, failed, rc, results', [
    ('update_ok', GOOD, {}, True, False, 0, {'ok': 3}),
    ('update_mixed', THREE, {}, True, True, 9, {'ok': 2, 'failed': 1}),
    ('update_mixed', THREE, {'max_failed': 1}, True, False, 9, {'ok': 2, 'failed': 1}),
    ('update_mixed', THREE, {'max_failed': '33%'}, True, True, 9, {'ok': 2, 'failed': 1}),
    ('update_mixed', THREE, {'max_failed': '34%'}, True, False, 9, {'ok': 2, 'failed': 1}),
    ('update_no_connection', ['127.0.42.1', '127.0.42.9'], {}, True, True, 4, {'ok': 1, 'no-connection': 1}),
    ('update_oem_rule', ['127.0.42.5', '127.0.42.2'], {}, True, True, 5, {'ok': 1, 'oem-rule': 1}),
    ('update_bad_config', ['127.0.42.1'], {'max_failed': 1}, False, False, 3, {'bad-config': 1}),
    # A usage error fails the run whatever max_failed says: no device ran.
    ('update_usage', ['127.0.42.1'], {'max_failed': '100%'}, False, True, 2, {}),
    ('update_config_for', THREE[:2], {'config_for': {'HWV=1.4': 'fw.cfg'}}, True, False, 0,
     {'ok': 1, 'skipped': 1}),
    # The failed device's flash was erased: changed.
    ('update_held', [THREE[2], THREE[0], THREE[1]], {}, True, True, 10, {'failed': 1, 'held': 2}),
    ('update_held', [THREE[2], THREE[0], THREE[1]], {'max_failed': 3}, True, False, 10, {'failed': 1, 'held': 2}),
])
def test_the_tools_results_become_changed_failed_and_devices(run_module, tmp_path, fixture, devices, extra,
                                                             changed, failed, rc, results):
    args = dict(devices=devices, config='fw.cfg', state_report=str(tmp_path / 'state.json'), **extra)
    result = run_module(device_update, args, FakeCli(fixture))
    assert (result['changed'], result['failed'], result['rc'], result['counts']) == (changed, failed, rc, results)
    recorded = load_fixture(fixture)['report']
    if recorded:
        assert [d['address'] for d in result['devices']] == [r['address'] for r in recorded['devices']]
        assert [(d['result'], d['code'], d['flash']) for d in result['devices']] == \
            [(r['result'], r['code'], r['flash']) for r in recorded['devices']]
    for d in result['devices']:
        if d['code']:
            assert '%s %s (%s)' % (d['address'], d['result'], d['code']) in result['msg']
    if rc == 2:
        assert '--jobs needs one number' in result['msg']


def test_check_mode_runs_the_dry_run_and_writes_no_state(run_module, tmp_path):
    cli = FakeCli('update_dry_run')
    state = tmp_path / 'state.json'
    result = run_module(device_update, dict(devices=THREE, config='fw.cfg', state_report=str(state)), cli,
                        check_mode=True)
    assert (result['changed'], result['failed'], result['counts']) == (True, False, {'dry-run': 3})
    assert '--dry-run' in cli.update_calls()[0]
    assert not state.exists()


def test_a_second_run_touches_only_what_the_first_left_and_a_new_configuration_all(run_module, tmp_path):
    state = tmp_path / 'state.json'
    args = dict(devices=THREE, config='fw.cfg', state_report=str(state), max_failed=1)
    first = run_module(device_update, args, FakeCli('update_mixed'))
    assert (first['changed'], first['failed']) == (True, False)
    rows = json.loads(state.read_text())['devices']
    assert [(r['address'], r['result']) for r in rows] == [
        ('127.0.42.1:2000', 'ok'), ('127.0.42.2:2000', 'ok'), ('127.0.42.3:2000', 'failed')]

    # The failed device is run again, alone; the two others are not connected.
    cli = FakeCli('update_mixed')
    second = run_module(device_update, args, cli)
    assert [cli.listed(c) for c in cli.update_calls()] == [['127.0.42.3:2000']]
    assert second['counts'] == {'failed': 1, 'unchanged': 2}
    assert second['changed'] is True  # its flash was erased again


def test_once_every_device_is_up_to_date_the_tool_is_not_run_until_the_configuration_changes(run_module, tmp_path):
    args = dict(devices=GOOD, config='fw.cfg', state_report=str(tmp_path / 'state.json'))
    first = run_module(device_update, args, FakeCli('update_ok'))
    assert (first['changed'], first['counts']) == (True, {'ok': 3})
    cli = FakeCli('update_ok')
    second = run_module(device_update, args, cli)
    assert (second['changed'], second['failed'], second['rc'], second['counts']) == \
        (False, False, 0, {'unchanged': 3})
    assert cli.update_calls() == []
    assert [(d['address'], d['flash'], d['code']) for d in second['devices']] == \
        [(d + ':2000', 'updated', 0) for d in GOOD]

    # Another image behind the same file name is another fingerprint: every device again; so does force.
    for cli, extra in ((FakeCli('update_ok', fingerprint='1' * 64), {}), (FakeCli('update_ok'), {'force': True})):
        run_module(device_update, dict(args, **extra), cli)
        assert [cli.listed(c) for c in cli.update_calls()] == [[d + ':2000' for d in GOOD]]


def test_the_state_keeps_an_earlier_update_of_a_device_the_run_left_untouched(run_module, tmp_path):
    state = tmp_path / 'state.json'
    args = dict(devices=['127.0.42.1', '127.0.42.9'], config='fw.cfg', state_report=str(state), max_failed=1)
    run_module(device_update, args, FakeCli('update_no_connection'))
    rows = dict((r['address'], r) for r in json.loads(state.read_text())['devices'])
    # A later run that does not reach the device updated before keeps its row.
    missed = load_fixture('update_no_connection')
    missed['report']['devices'][0].update(address='127.0.42.9:2000')
    missed['report']['devices'][1].update(address='127.0.42.1:2000', serial=None)
    run_module(device_update, dict(args, force=True), FakeCli(missed))
    after = dict((r['address'], r) for r in json.loads(state.read_text())['devices'])
    assert after['127.0.42.1:2000'] == rows['127.0.42.1:2000']


@pytest.mark.parametrize('content, message', [
    ('{"devices": 3}', 'the state report'),
    ('not json', 'the state report'),
])
def test_a_state_report_that_cannot_be_read_fails_before_any_device(run_module, tmp_path, content, message):
    state = tmp_path / 'state.json'
    state.write_text(content)
    cli = FakeCli('update_ok')
    result = run_module(device_update, dict(devices=THREE, config='fw.cfg', state_report=str(state)), cli)
    assert result['failed'] and message in result['msg']
    assert cli.update_calls() == []


def test_options_become_the_tools_arguments(run_module, tmp_path):
    listed = tmp_path / 'venue.txt'
    listed.write_text(u'\ufeff# the venue\n127.0.42.1  # stage left\n\n127.0.42.2:2000=own.cfg\n')
    cli = FakeCli('update_config_for')
    run_module(device_update, dict(devices_from=str(listed), config_for={'HWV=1.4': 'v14.cfg', 'HWV=2.0': 'v20.cfg'},
                                   jobs=4, retries=2, admin=True, timeout=7, state_report=''), cli)
    args = cli.update_calls()[0]
    for option in (['--config-for', 'HWV=1.4=v14.cfg'], ['--config-for', 'HWV=2.0=v20.cfg'], ['--jobs', '4'],
                   ['--retries', '2'], ['--timeout', '7'], ['--json'], ['--admin']):
        assert any(args[i:i + len(option)] == option for i in range(len(args))), option
    assert '--config' not in args
    with open(args[args.index('--devices-from') + 1]) as f:
        assert f.read().splitlines()[1:] == ['127.0.42.1:2000', '127.0.42.2:2000=%s' % (tmp_path / 'own.cfg')]


@pytest.mark.parametrize('value', ['x', '-1', '101%'])
def test_max_failed_is_a_count_or_a_percentage(run_module, tmp_path, value):
    result = run_module(device_update, dict(devices=THREE, config='fw.cfg', max_failed=value), FakeCli())
    assert result['failed'] and 'max_failed' in result['msg']
