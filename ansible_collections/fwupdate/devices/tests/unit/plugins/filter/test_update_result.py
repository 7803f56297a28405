# -*- coding: utf-8 -*-
# Copyright: (c) the fwupdate developers
# MIT License (see LICENSE in the collection)
"""The update_result filter gives from the report, or from the JSON lines, what the module gives."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json

import pytest

from ansible.errors import AnsibleFilterError
from ansible_collections.fwupdate.devices.plugins.filter.update_result import FilterModule
from ansible_collections.fwupdate.devices.tests.unit.conftest import load_fixture

update_result = FilterModule().filters()['update_result']


@pytest.mark.parametrize('fixture, options, changed, failed, results', [
    ('update_ok', {}, True, False, {'ok': 3}),
    ('update_mixed', {}, True, True, {'ok': 2, 'failed': 1}),
    ('update_mixed', {'max_failed': 1}, True, False, {'ok': 2, 'failed': 1}),
    ('update_dry_run', {'check_mode': True}, True, False, {'dry-run': 3}),
    ('update_bad_config', {}, False, True, {'bad-config': 1}),
    ('update_held', {}, True, True, {'failed': 1, 'held': 2}),
    ('update_held', {'max_failed': 3}, True, False, {'failed': 1, 'held': 2}),
    ('update_config_for', {}, True, False, {'ok': 2, 'skipped': 1}),
])
def test_report_text_object_and_json_lines_give_the_same_values(fixture, options, changed, failed, results):
    recorded = load_fixture(fixture)
    inputs = [json.dumps(recorded['report']), recorded['report'], recorded['stdout']]
    for data in inputs:
        result = update_result(data, rc=recorded['rc'], **options)
        assert (result['changed'], result['failed'], result['counts'], result['rc']) == \
            (changed, failed, results, recorded['rc'])
        assert len(result['held']) == results.get('held', 0)
        # The lines give the devices in the order they were identified.
        assert sorted((d['address'], d['result'], d['code'], d['flash']) for d in result['devices']) == \
            sorted((r['address'], r['result'], r['code'], r['flash']) for r in recorded['report']['devices'])
    # Without rc, the run's exit code comes from the report or the summary line.
    assert update_result(recorded['stdout'])['rc'] == recorded['rc']
    assert update_result(recorded['report'])['rc'] == recorded['rc']


def test_a_run_that_did_not_end_fails():
    recorded = load_fixture('update_ok')
    lines = [line for line in recorded['stdout'].splitlines() if '"summary"' not in line]
    assert update_result('\n'.join(lines))['failed'] is True
    report = dict(recorded['report'], run=dict(recorded['report']['run'], exitCode=None))
    assert update_result(report)['failed'] is True
    assert update_result(load_fixture('update_usage')['stdout'], rc=2)['failed'] is True


@pytest.mark.parametrize('data, options', [
    ('{"event":"done"}\nnot json', {}),
    ('[1, 2]', {}),
    ('{"devices": [{"result": "ok"}]}', {}),
    (load_fixture('update_ok')['stdout'], {'max_failed': 'some'}),
])
def test_what_is_no_output_of_the_tool_is_an_error(data, options):
    with pytest.raises(AnsibleFilterError):
        update_result(data, **options)
