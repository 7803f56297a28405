# -*- coding: utf-8 -*-
# Copyright: (c) the fwupdate developers
# MIT License (see LICENSE in the collection)
"""What the modules and the filter share: the command lines of fwupdate-cli, its JSON (the --json lines and
the --report file; never its text), its exit codes, and the state report of a venue's computer that tells
which devices were last updated OK with which configuration and image."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import re
import tempfile

DEFAULT_PORT = 2000

# fwupdate-cli's exit codes (its README and manual page).
EXIT_CODES = {
    0: 'success',
    1: 'unexpected failure of the tool',
    2: 'usage error',
    3: 'configuration file not readable or not valid',
    4: 'no connection, or no answer within the time-out',
    5: 'OEM rule: the device\'s OEM id is not 19',
    6: 'serial rule: the configuration is bound to another serial number',
    7: 'image not found',
    8: 'invalid binary or image too large',
    9: 'update failed: link lost or error reply',
    10: 'held: the rollout stopped before the device began; nothing was written to it',
    129: 'interrupted by a hang-up (SIGHUP)',
    130: 'interrupted by Ctrl-C (SIGINT)',
    143: 'interrupted by SIGTERM',
}

# Results of a device whose flash was written in the run (update) or would be (dry run).
UPDATED = 'ok'
WOULD_UPDATE = 'dry-run'
# A device this collection did not hand to the tool: its last recorded update was OK with the same
# configuration and image.
UNCHANGED = 'unchanged'
# A device the tool's rollout held back (code 10, untouched), and one it skipped (no configuration for its
# version, or not the version the run takes; code 0, untouched).
HELD = 'held'
SKIPPED = 'skipped'

# What a device entry holds, from a report row.
ENTRY_KEYS = ('address', 'serial', 'version', 'result', 'code', 'flash', 'detail', 'kennung', 'name',
              'deviceName', 'config', 'fingerprint', 'attempts', 'wave')


class ToolOutputError(Exception):
    """fwupdate-cli wrote something its JSON output never holds."""


def exit_code_text(rc):
    if rc is None:
        return 'not run'
    return EXIT_CODES.get(rc, 'exit code %s' % rc)


def run_failed(rc):
    """The run itself failed (as opposed to some of its devices): the tool's own failure, a usage error, or a
    stop signal."""
    return rc in (1, 2) or rc >= 128 or rc < 0


def parse_json_lines(text):
    """The events of --json output, one JSON object a line; anything else is an error of the tool."""
    events = []
    for number, line in enumerate((text or '').splitlines(), 1):
        if not line.strip():
            continue
        try:
            event = json.loads(line)
        except ValueError:
            raise ToolOutputError('line %d of fwupdate-cli\'s output is not JSON: %s' % (number, line[:200]))
        if not isinstance(event, dict) or 'event' not in event:
            raise ToolOutputError('line %d of fwupdate-cli\'s output is no event: %s' % (number, line[:200]))
        events.append(event)
    return events


def summary_of(events):
    for event in reversed(events):
        if event.get('event') == 'summary':
            return event
    return None


def parse_report(text):
    """A report (--report FILE.json) as a dict with "run" and "devices"; ToolOutputError when it is none."""
    try:
        report = json.loads(text)
    except ValueError as e:
        raise ToolOutputError('the report is not JSON: %s' % e)
    if not isinstance(report, dict) or not isinstance(report.get('devices'), list):
        raise ToolOutputError('the report is not a JSON object with a "devices" list')
    for row in report['devices']:
        if not isinstance(row, dict) or not isinstance(row.get('address'), str):
            raise ToolOutputError('a device of the report has no address')
    return report


def device_entry(row):
    """One device of the return values, from a report row (or a row built from the events)."""
    return dict((key, row.get(key)) for key in ENTRY_KEYS)


def rows_from_events(events):
    """Report rows as far as the --json events tell them: identity from "identified", the end from "done"."""
    rows = {}
    order = []
    waves = {}
    for event in events:
        if event.get('event') == 'wave':
            for device in event.get('devices') or []:
                waves[device] = event.get('wave')
        device = event.get('device')
        if not device or event.get('event') not in ('identified', 'done', 'refused', 'found'):
            continue
        if device not in rows:
            rows[device] = {'address': device}
            order.append(device)
        row = rows[device]
        if event['event'] in ('identified', 'found'):
            for key in ('kennung', 'serial', 'version', 'name', 'oemName', 'deviceName', 'libraryName'):
                row[key] = event.get(key)
        elif event['event'] == 'done':
            for key in ('result', 'code', 'detail', 'flash', 'cause'):
                row[key] = event.get(key)
    for device in order:
        rows[device]['wave'] = waves.get(device)
    return [rows[d] for d in order]


def device_version(text):
    """A version as a device reports it, "HWV=H.L", from "HWV=1.4" or "1.4" as fwupdate-cli reads the versions
    of --config-for and --only-version; None when the text is no version."""
    match = re.match(r'^(?:HWV=)?([0-9]+)\.([0-9]+)$', str(text).strip())
    if not match or int(match.group(1)) > 65535 or int(match.group(2)) > 65535:
        return None
    return 'HWV=%d.%d' % (int(match.group(1)), int(match.group(2)))


def device_address(text, port=DEFAULT_PORT):
    """HOST:PORT as the tool's report names a device given as HOST[:PORT]."""
    text = text.strip()
    return text if ':' in text else '%s:%d' % (text, port)


def split_device(text, port=DEFAULT_PORT, folder=None):
    """(HOST:PORT, configuration or None) of HOST[:PORT][=FILE.cfg]; a relative FILE.cfg is taken from
    folder (a device list's folder), as fwupdate-cli takes it."""
    device, sep, config = text.partition('=')
    config = config.strip() if sep else None
    if config and folder is not None and not os.path.isabs(config):
        config = os.path.join(folder, config)
    return device_address(device, port), config or None


def read_device_list(path, port=DEFAULT_PORT):
    """The devices of a --devices-from list: (HOST:PORT, configuration or None) in order. Lines the tool
    would refuse are kept as they are, so that the tool names them."""
    with open(path, 'rb') as f:
        text = f.read().decode('utf-8', errors='replace')
    if text.startswith(u'\ufeff'):
        text = text[1:]
    folder = os.path.dirname(os.path.abspath(path))
    devices = []
    for line in text.splitlines():
        line = line.split('#', 1)[0].strip()
        if line:
            devices.append(split_device(line, port, folder))
    return devices


def write_device_list(path, devices):
    with open(path, 'w') as f:
        f.write('# written by the fwupdate.devices collection\n')
        for address, config in devices:
            f.write(address + ('=' + os.path.abspath(config) if config else '') + '\n')


def parse_max_failed(value):
    """(count, percent) of max_failed, "N" or "P%"; ValueError when it is neither."""
    text = str(value if value is not None else 0).strip()
    if text.endswith('%'):
        percent = float(text[:-1])
        if not 0 <= percent <= 100:
            raise ValueError('a percentage from 0% to 100%')
        return None, percent
    count = int(text)
    if count < 0:
        raise ValueError('a count of 0 or more')
    return count, None


def too_many_failed(failed, devices, max_failed):
    """More devices failed than max_failed tolerates (a count, or a percentage of the devices)."""
    count, percent = parse_max_failed(max_failed)
    if percent is not None:
        return failed * 100 > percent * devices
    return failed > count


def not_done_text(failures):
    """The devices not done, those that ended alike (a held rollout's devices) in one entry."""
    groups = []
    for d in failures:
        key = (d['result'], d['code'], d['detail'])
        for group in groups:
            if group[0] == key:
                group[1].append(d['address'])
                break
        else:
            groups.append((key, [d['address']]))
    return '; '.join('%s %s (%s)%s' % (', '.join(addresses), result, code, ': ' + detail if detail else '')
                     for (result, code, detail), addresses in groups)


def outcome(rc, events, report, check_mode=False, max_failed=0, not_run=(), stderr=''):
    """changed, failed, msg, rc, devices, counts and held of an update run from the tool's exit code, its
    events and its report; not_run are the entries of the devices not handed to the tool (up to date, or
    skipped by the version they reported before)."""
    rows = report['devices'] if report else rows_from_events(events)
    tool_devices = [device_entry(row) for row in rows]
    devices = tool_devices + list(not_run)
    results = {}
    for d in devices:
        results[d['result'] or 'pending'] = results.get(d['result'] or 'pending', 0) + 1
    failures = [d for d in devices if d['code'] != 0]
    # Programmed in this run: the devices the tool ran that ended OK, or whose flash it erased.
    flashed = [d for d in tool_devices if d['result'] == UPDATED or d['flash'] == 'incomplete']
    would = [d for d in tool_devices if d['result'] == WOULD_UPDATE]
    changed = bool(would) if check_mode else bool(flashed)
    summary = summary_of(events)
    ran = rc is not None
    broken = ran and (run_failed(rc) or summary is None)
    failed = broken or too_many_failed(len(failures), len(devices), max_failed)

    words = []
    if ran and broken:
        words.append('fwupdate-cli ended with %d (%s)%s' % (
            rc, exit_code_text(rc), (': ' + stderr.strip()) if stderr and stderr.strip() else ''))
    counts = []
    for result in sorted(results):
        counts.append('%d %s' % (results[result], result))
    words.append('%d device%s: %s' % (len(devices), '' if len(devices) == 1 else 's', ', '.join(counts) or 'none'))
    if failures:
        words.append('not done: ' + not_done_text(failures))
        if not failed:
            words.append('tolerated by max_failed %s' % max_failed)
    return dict(changed=changed, failed=failed, msg='; '.join(words), rc=rc if ran else 0, devices=devices,
                counts=results, failed_devices=len(failures),
                held=[d['address'] for d in devices if d['result'] == HELD])


# ---- the state report ----

def default_state_report():
    """$XDG_STATE_HOME/fwupdate/ansible-devices.json (~/.local/state/...), beside fwupdate-cli's own log."""
    base = os.environ.get('XDG_STATE_HOME') or os.path.join(os.path.expanduser('~'), '.local', 'state')
    return os.path.join(base, 'fwupdate', 'ansible-devices.json')


def load_state(path):
    """The rows of the state report by address; {} when there is none yet. ToolOutputError when it cannot be
    read (never guessed: a state that cannot be read must not skip a device)."""
    if not os.path.exists(path):
        return {}
    with open(path, 'rb') as f:
        text = f.read().decode('utf-8', errors='replace')
    report = parse_report(text)
    return dict((row['address'], row) for row in report['devices'])


def merge_state(state, rows):
    """The state after a run: a device's row replaces the one recorded unless the run left its flash untouched
    (a refusal, no connection, held, skipped) while the same device (serial) has an earlier row, which still
    tells what its flash holds."""
    merged = dict(state)
    for row in rows:
        before = merged.get(row['address'])
        untouched = row.get('flash') in (None, 'untouched')
        same_device = row.get('serial') is None or before is None or before.get('serial') == row.get('serial')
        if before is not None and untouched and same_device:
            continue
        merged[row['address']] = row
    return merged


def write_state(path, state, run):
    """Writes the state report whole (a temporary file beside it, then renamed over it), in the tool's report
    form: fwupdate-cli --redo can read it."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        os.makedirs(folder)
    text = json.dumps({'run': run, 'devices': [state[a] for a in sorted(state)]}, indent=2) + '\n'
    handle, temp = tempfile.mkstemp(dir=folder, prefix='.' + os.path.basename(path) + '.')
    try:
        with os.fdopen(handle, 'w') as f:
            f.write(text)
        os.replace(temp, path)
    except Exception:
        if os.path.exists(temp):
            os.unlink(temp)
        raise


def up_to_date(row, fingerprint):
    """The device's last recorded update ended OK with this configuration and image."""
    return bool(fingerprint) and row is not None and row.get('result') == UPDATED and \
        row.get('code') == 0 and row.get('flash') == 'updated' and row.get('fingerprint') == fingerprint


def chosen_config(config, row, default_config=None, config_for=None, only_version=None):
    """The configuration fwupdate-cli would give the device, as far as the version it reported last (its row
    of the state report) tells: its own configuration, else the one for its version (config_for, by versions
    as device_version gives them), else default_config. (config, None); (None, why) when the tool would skip
    it untouched (no configuration for its version, or not only_version); (None, None) when only connecting
    the device can tell (its version is not known yet)."""
    version = row.get('version') if row else None
    if only_version and version != only_version:
        if version is None:
            return None, None
        return None, 'this task updates %s only' % only_version
    if config:
        return config, None
    if config_for:
        if version is None:
            return None, None
        if version in config_for:
            return config_for[version], None
    if default_config:
        return default_config, None
    return None, 'no configuration is given for that version'


def unchanged_entry(row):
    entry = device_entry(row)
    entry['result'] = UNCHANGED
    entry['code'] = 0
    entry['detail'] = 'not connected: updated OK %s with the same configuration and image (fingerprint %s)' % (
        ('at ' + row['end']) if row.get('end') else 'before', (row.get('fingerprint') or '')[:16])
    return entry


def skipped_entry(row, why):
    """A device not connected because the tool would skip it by the version it reported last."""
    entry = device_entry(row)
    entry['result'] = SKIPPED
    entry['code'] = 0
    entry['detail'] = 'not connected: it reported %s %s, and %s' % (
        row.get('version'), ('at ' + row['end']) if row.get('end') else 'before', why)
    return entry


def inspect_fingerprint(events):
    """The fingerprint of inspect --json's one "config" event, or None."""
    for event in events:
        if event.get('event') == 'config':
            return event.get('fingerprint')
    return None
