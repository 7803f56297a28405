"""Records the fixtures of the unit tests: fwupdate-cli's real --json output, exit code and --report file for
each case, run against fwdevsim on loopback addresses (127.0.42.x): three devices of one version (the third one
faulty), one of another OEM, three good ones, and three of the versions HWV=1.4, 2.0 and 3.0. Every fixture is
recorded; none is written by hand. Run by hand after a change of the tool's JSON, with the build folder as
argument:

    python3 tests/unit/record_fixtures.py ../../../../build
"""

import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def start_sim(build, address, *extra):
    sim = subprocess.Popen([os.path.join(build, 'tools/fwdevsim/fwdevsim'), '--address', address,
                            '--no-reconnect-port'] + list(extra),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = sim.stderr.readline()
    if not line.startswith('listening on'):
        raise SystemExit('fwdevsim did not start: ' + line)
    return sim


def record(build, work, name, args, report=None):
    cli = os.path.join(build, 'tools/cli/fwupdate-cli')
    log = ['--log', os.path.join(work, 'cli.log')] if args[0] != 'inspect' else []
    run = subprocess.run([cli] + args + log, cwd=work,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120, check=False)
    fixture = {'args': args, 'rc': run.returncode, 'stdout': run.stdout, 'stderr': run.stderr, 'report': None}
    if report and os.path.exists(os.path.join(work, report)):
        with open(os.path.join(work, report)) as f:
            fixture['report'] = json.load(f)
        os.unlink(os.path.join(work, report))
    with open(os.path.join(HERE, 'fixtures', name + '.json'), 'w') as f:
        json.dump(fixture, f, indent=1)
        f.write('\n')
    print(name, run.returncode)


def main():
    build = os.path.abspath(sys.argv[1])
    mkfwcfg = os.path.join(build, 'tools/mkfwcfg/mkfwcfg')
    with tempfile.TemporaryDirectory() as work:
        subprocess.run([mkfwcfg, '--write-image', os.path.join(work, 'fw.bin'), '--size', '2000'], check=True)
        subprocess.run([mkfwcfg, '--out', os.path.join(work, 'fw.cfg'), '--image', os.path.join(work, 'fw.bin'),
                        '--fw-version', '2'], check=True, stdout=subprocess.DEVNULL)
        # A second configuration with an image of its own, for the devices of HWV=2.0.
        subprocess.run([mkfwcfg, '--write-image', os.path.join(work, 'fw20.bin'), '--size', '1500', '--seed', '7'],
                       check=True)
        subprocess.run([mkfwcfg, '--out', os.path.join(work, 'fw20.cfg'), '--image', os.path.join(work, 'fw20.bin'),
                        '--fw-version', '3'], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(work, 'plain.cfg'), 'w') as f:
            f.write('not enciphered\n')
        sims = [start_sim(build, '127.0.42.1', '--count', '3', '--faulty', '2', '--error-on-page', '3'),
                start_sim(build, '127.0.42.5', '--oem', '11'),
                start_sim(build, '127.0.42.11', '--count', '3'),
                start_sim(build, '127.0.42.21', '--serial', '21000001'),
                start_sim(build, '127.0.42.22', '--serial', '22000001', '--fw-version', '2.0'),
                start_sim(build, '127.0.42.23', '--serial', '23000001', '--fw-version', '3.0')]
        try:
            three = ['--device', '127.0.42.1', '--device', '127.0.42.2', '--device', '127.0.42.3']
            record(build, work, 'inspect', ['inspect', 'fw.cfg', '--json'])
            record(build, work, 'update_mixed', ['update', '--json', '--report', 'r.json', '--config', 'fw.cfg'] + three,
                   'r.json')
            record(build, work, 'update_ok', ['update', '--json', '--report', 'r.json', '--config', 'fw.cfg',
                                              '--device', '127.0.42.11', '--device', '127.0.42.12',
                                              '--device', '127.0.42.13'], 'r.json')
            record(build, work, 'update_dry_run', ['update', '--json', '--report', 'r.json', '--config', 'fw.cfg',
                                                   '--dry-run'] + three, 'r.json')
            record(build, work, 'update_no_connection',
                   ['update', '--json', '--report', 'r.json', '--config', 'fw.cfg', '--timeout', '2',
                    '--device', '127.0.42.1', '--device', '127.0.42.9'], 'r.json')
            record(build, work, 'update_oem_rule', ['update', '--json', '--report', 'r.json', '--config', 'fw.cfg',
                                                    '--device', '127.0.42.5', '--device', '127.0.42.2'], 'r.json')
            record(build, work, 'update_bad_config', ['update', '--json', '--report', 'r.json', '--config',
                                                      'plain.cfg', '--device', '127.0.42.1'], 'r.json')
            record(build, work, 'update_usage', ['update', '--json', '--config', 'fw.cfg', '--jobs', '0',
                                                 '--device', '127.0.42.1'])
            versions = ['--device', '127.0.42.21', '--device', '127.0.42.22', '--device', '127.0.42.23']
            record(build, work, 'update_config_for',
                   ['update', '--json', '--report', 'r.json', '--config-for', 'HWV=1.4=fw.cfg',
                    '--config-for', '2.0=fw20.cfg'] + versions, 'r.json')
            record(build, work, 'update_only_version',
                   ['update', '--json', '--report', 'r.json', '--config', 'fw20.cfg', '--only-version', 'HWV=2.0']
                   + versions, 'r.json')
            # The faulty device alone in the first wave: its failure holds the two others.
            record(build, work, 'update_held',
                   ['update', '--json', '--report', 'r.json', '--config', 'fw.cfg', '--waves', '1,100%',
                    '--max-failed', '0', '--device', '127.0.42.3', '--device', '127.0.42.1', '--device', '127.0.42.2'],
                   'r.json')
            record(build, work, 'info_missing', ['info', '--json', '--report', 'r.json', '--timeout', '2',
                                                 '--device', '127.0.42.1', '--device', '127.0.42.9'], 'r.json')
            record(build, work, 'scan', ['scan', '127.0.42.1-4', '--json'])
        finally:
            for sim in sims:
                sim.terminate()
                sim.wait(timeout=30)


if __name__ == '__main__':
    main()
