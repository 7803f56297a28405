# -*- coding: utf-8 -*-
# Copyright: (c) the fwupdate developers
# MIT License (see LICENSE in the collection)
"""device_info on fwupdate-cli's recorded info and scan JSON."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import pytest

from ansible_collections.fwupdate.devices.plugins.modules import device_info
from ansible_collections.fwupdate.devices.tests.unit.conftest import FakeCli


@pytest.mark.parametrize('fixture, args, failed, found', [
    ('info_missing', {'devices': ['127.0.42.1', '127.0.42.9']}, True,
     [('127.0.42.1:2000', 'ok', 12345678), ('127.0.42.9:2000', 'no-connection', None)]),
    ('scan', {'range': '127.0.42.1-4'}, False,
     [('127.0.42.1:2000', 'ok', 12345678), ('127.0.42.2:2000', 'ok', 12345679), ('127.0.42.3:2000', 'ok', 12345680)]),
])
def test_devices_and_facts_from_info_and_scan(run_module, fixture, args, failed, found):
    cli = FakeCli(fixture)
    result = run_module(device_info, args, cli, check_mode=True)
    assert result['failed'] is failed and result['changed'] is False
    assert [(d['address'], d['result'], d['serial']) for d in result['devices']] == found
    assert result['ansible_facts']['fwupdate_devices'] == result['devices']
    assert cli.update_calls()[0][1] == ('scan' if 'range' in args else 'info')
