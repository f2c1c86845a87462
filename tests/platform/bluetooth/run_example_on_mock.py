#!/usr/bin/python3
'''Runs the example program against the scripted bluetoothd on a private bus, with the heart-rate sensor of
examples/scenarios/heart_rate.txt: it must exit 0 after ten readings.

    /usr/bin/python3 run_example_on_mock.py <velmorable_example>
'''
import os
import subprocess
import sys
import time

import dbus

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    example = sys.argv[1]
    daemon = subprocess.Popen(['dbus-daemon', f'--config-file={HERE}/private_bus.conf', '--nofork',
                               '--print-address=1'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    mock = None
    try:
        address = daemon.stdout.readline().decode().strip()
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        mock = subprocess.Popen(['/usr/bin/python3', '-m', 'dbusmock', '--system', '--template',
                                 f'{HERE}/scripted_bluez.py'], env=env, stdout=subprocess.DEVNULL)
        bus = dbus.bus.BusConnection(address)
        deadline = time.monotonic() + 5
        while not bus.name_has_owner('org.bluez'):
            if time.monotonic() > deadline:
                print('the scripted bluetoothd did not start', file=sys.stderr)
                return 1
            time.sleep(0.01)
        bus.call_blocking('org.bluez', '/', 'org.bluez.Mock', 'Run', 's', ['heart_rate_running()'])
        env.update(VELMORABLE_BT_BACKEND='bluez', VELMORABLE_SIM_SCENARIO='')
        run = subprocess.run([example], env=env, stdout=subprocess.PIPE, timeout=120, check=False)
        output = run.stdout.decode(errors='replace')
        print(output)
        readings = sum(1 for line in output.splitlines() if line.rstrip().endswith(' s)') and 'bpm' in line)
        if run.returncode != 0 or readings < 10:
            print(f'exit {run.returncode}, {readings} readings', file=sys.stderr)
            return 1
        return 0
    finally:
        for process in (mock, daemon):
            if process is not None:
                process.terminate()
                process.wait()


if __name__ == '__main__':
    sys.exit(main())
