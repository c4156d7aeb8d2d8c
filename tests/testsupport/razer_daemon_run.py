#!/usr/bin/env python3
# Runs OpenRazer's real daemon (Debian's openrazer-daemon, unpacked, on PYTHONPATH) in the
# foreground on the test's session bus, serving the fake device folders in --test-dir. The
# daemon itself finds devices there only when it starts; its hot plug comes from udev. SIGUSR1
# stands in for udev here: the folders that appeared or went since are handed to the
# daemon's own udev handlers (_add_device, _remove_device), which then signal device_added
# and device_removed as they do for real devices.
import argparse
import os
import signal
import sys

from gi.repository import GLib
from openrazer_daemon.daemon import RazerDaemon


class UdevEvent:
    def __init__(self, name, path, action):
        self.sys_name = name
        self.sys_path = path
        self.device_path = path
        self.action = action


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--test-dir', required=True)
    parser.add_argument('--run-dir', required=True)
    parser.add_argument('--config', required=True)
    parser.add_argument('--persistence', required=True)
    args = parser.parse_args()

    daemon = RazerDaemon(verbose=True, log_dir=args.run_dir, console_log=True,
                         run_dir=args.run_dir, config_file=args.config,
                         persistence_file=args.persistence, test_dir=args.test_dir)

    def rescan():
        present = set(os.listdir(args.test_dir))
        for device in list(daemon._razer_devices):
            if device.device_id not in present:
                daemon._remove_device(UdevEvent(device.device_id, '', 'remove'))
        for name in sorted(present):
            if name not in daemon._razer_devices:
                daemon._add_device(UdevEvent(name, os.path.join(args.test_dir, name), 'add'))
        return True

    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, rescan)
    daemon.run()


if __name__ == '__main__':
    sys.exit(main())
