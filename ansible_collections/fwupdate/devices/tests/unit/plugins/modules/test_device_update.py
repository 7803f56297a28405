# -*- coding: utf-8 -*-
# Copyright: (c) the fwupdate developers
# MIT License (see LICENSE in the collection)
"""device_update on fwupdate-cli's recorded JSON: the exit codes and results as changed/failed, check mode,
max_failed, config_for and only_version, the tool's rollout (waves, tool_max_failed, held devices), and the
state report that makes a second run touch no device."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json

import pytest

from ansible_collections.fwupdate.devices.plugins.modules import device_update
from ansible_collections.fwupdate.devices.tests.unit.conftest import FakeCli, load_fixture

THREE = ['127.0.42.1', '127.0.42.2', '127.0.42.3']  # the third one faulty
GOOD = ['127.0.42.11', '127.0.42.12', '127.0.42.13']
VERSIONS = ['127.0.42.21', '127.0.42.22', '127.0.42.23']  # HWV=1.4, 2.0 and 3.0
BY_VERSION = {'HWV=1.4': 'fw.cfg', '2.0': 'fw20.cfg'}


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
    ('update_config_for', VERSIONS, {'config': None, 'config_for': BY_VERSION}, True, False, 0,
     {'ok': 2, 'skipped': 1}),
    ('update_only_version', VERSIONS, {'config': 'fw20.cfg', 'only_version': '2.0'}, True, False, 0,
     {'ok': 1, 'skipped': 2}),
    # The failed device's flash was erased: changed. The held devices count for max_failed.
    ('update_held', [THREE[2], THREE[0], THREE[1]], {'waves': '1,100%', 'tool_max_failed': 0}, True, True, 10,
     {'failed': 1, 'held': 2}),
    ('update_held', [THREE[2], THREE[0], THREE[1]], {'waves': '1,100%', 'max_failed': 3}, True, False, 10,
     {'failed': 1, 'held': 2}),
])
def test_the_tools_results_become_changed_failed_and_devices(run_module, tmp_path, fixture, devices, extra,
                                                             changed, failed, rc, results):
    args = dict(dict(devices=devices, config='fw.cfg', state_report=str(tmp_path / 'state.json')), **extra)
    result = run_module(device_update, args, FakeCli(fixture))
    assert (result['changed'], result['failed'], result['rc'], result['counts']) == (changed, failed, rc, results)
    recorded = load_fixture(fixture)['report']
    if recorded:
        assert [d['address'] for d in result['devices']] == [r['address'] for r in recorded['devices']]
        assert [(d['result'], d['code'], d['flash']) for d in result['devices']] == \
            [(r['result'], r['code'], r['flash']) for r in recorded['devices']]
    for d in result['devices']:
        if d['code']:
            assert d['address'] in result['msg'] and ' %s (%s)' % (d['result'], d['code']) in result['msg']
    assert result['held'] == [d['address'] for d in result['devices'] if d['result'] == 'held']
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


def test_a_held_rollout_is_reported_and_its_devices_run_again_in_the_tools_waves(run_module, tmp_path):
    state = tmp_path / 'state.json'
    args = dict(devices=[THREE[2], THREE[0], THREE[1]], config='fw.cfg', state_report=str(state), waves='1,100%',
                tool_max_failed=0, max_failed=3)
    first = run_module(device_update, args, FakeCli('update_held'))
    assert first['held'] == ['127.0.42.1:2000', '127.0.42.2:2000']
    # The devices held alike are named once, with the hold's detail.
    assert '127.0.42.1:2000, 127.0.42.2:2000 held (10): held: 1 device failed (127.0.42.3:2000)' in first['msg']
    cli = FakeCli('update_held')
    run_module(device_update, args, cli)
    assert [cli.listed(c) for c in cli.update_calls()] == [['127.0.42.3:2000', '127.0.42.1:2000', '127.0.42.2:2000']]


# The state of a first run with a configuration per version (HWV=1.4 and 2.0 updated, 3.0 skipped), then a
# second run: the devices the tool is given, and those not connected.
@pytest.mark.parametrize('devices, extra, listed, not_run', [
    (VERSIONS, {}, [], {'unchanged': 2, 'skipped': 1}),
    # A configuration for the skipped version takes that device only.
    (VERSIONS, {'config_for': dict(BY_VERSION, **{'3.0': 'fw.cfg'})}, ['127.0.42.23'], {'unchanged': 2}),
    # Another configuration for one version, its devices only.
    (VERSIONS, {'config_for': {'1.4': 'fw20.cfg', 'HWV=2.0': 'fw20.cfg'}}, ['127.0.42.21'],
     {'unchanged': 1, 'skipped': 1}),
    # A device's own configuration comes before its version's; config serves the versions without one.
    (['127.0.42.21=fw20.cfg'] + VERSIONS[1:], {}, ['127.0.42.21'], {'unchanged': 1, 'skipped': 1}),
    (VERSIONS, {'config': 'fw20.cfg'}, ['127.0.42.23'], {'unchanged': 2}),
    # only_version: the other versions are not connected.
    (VERSIONS, {'only_version': 'HWV=2.0'}, [], {'unchanged': 1, 'skipped': 2}),
])
def test_configurations_by_version_connect_only_the_devices_whose_configuration_changed(
        run_module, tmp_path, devices, extra, listed, not_run):
    args = dict(devices=VERSIONS, config_for=BY_VERSION, state_report=str(tmp_path / 'state.json'))
    run_module(device_update, args, FakeCli('update_config_for'))
    cli = FakeCli('update_config_for')
    second = run_module(device_update, dict(args, devices=devices, **extra), cli)
    assert [cli.listed(c) for c in cli.update_calls()] == ([[d + ':2000' for d in listed]] if listed else [])
    results = [d['result'] for d in second['devices'] if d['detail'].startswith('not connected')]
    assert dict((r, results.count(r)) for r in results) == not_run
    if not listed:
        assert (second['changed'], second['failed'], second['rc']) == (False, False, 0)


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
    run_module(device_update, dict(devices_from=str(listed), config_for={'HWV=1.4': 'v14.cfg', '2.0': 'v20.cfg'},
                                   only_version='1.4', jobs=4, retries=2, admin=True, timeout=7, waves='1,10%,100%',
                                   tool_max_failed='5%', state_report=''), cli)
    args = cli.update_calls()[0]
    for option in (['--config-for', 'HWV=1.4=v14.cfg'], ['--config-for', 'HWV=2.0=v20.cfg'], ['--jobs', '4'],
                   ['--retries', '2'], ['--timeout', '7'], ['--json'], ['--admin'], ['--waves', '1,10%,100%'],
                   ['--max-failed', '5%'], ['--only-version', 'HWV=1.4']):
        assert any(args[i:i + len(option)] == option for i in range(len(args))), option
    assert '--config' not in args
    with open(args[args.index('--devices-from') + 1]) as f:
        assert f.read().splitlines()[1:] == ['127.0.42.1:2000', '127.0.42.2:2000=%s' % (tmp_path / 'own.cfg')]


@pytest.mark.parametrize('extra, message', [
    ({'max_failed': 'x'}, 'max_failed x'),
    ({'max_failed': '-1'}, 'max_failed -1'),
    ({'max_failed': '101%'}, 'max_failed 101%'),
    ({'tool_max_failed': '1.5'}, 'tool_max_failed 1.5'),
    ({'tool_max_failed': '2.5%'}, 'tool_max_failed 2.5%'),
    ({'config_for': {'HWV=1': 'a.cfg'}}, 'config_for HWV=1'),
    ({'config_for': {'1.4': 'a.cfg', 'HWV=1.4': 'b.cfg'}}, 'names HWV=1.4 twice'),
    ({'only_version': 'new'}, 'only_version new'),
    ({'config': None}, 'no configuration for 127.0.42.1:2000, 127.0.42.2:2000, 127.0.42.3:2000'),
])
def test_bad_options_fail_before_the_tool_runs(run_module, tmp_path, extra, message):
    cli = FakeCli()
    result = run_module(device_update, dict(dict(devices=THREE, config='fw.cfg'), **extra), cli)
    assert result['failed'] and message in result['msg']
    assert cli.update_calls() == []
