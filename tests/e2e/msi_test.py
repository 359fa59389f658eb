#!/usr/bin/env python3
"""The example package (packaging/) installed by Wine's msiexec, checking the
hosts file byte for byte after each install, failed install, upgrade and
removal.

Wine 8 does not set UPGRADINGPRODUCTCODE while an upgrade removes the old
product, so the uninstall action's condition cannot be seen at work here; the
early removal of the old product (right after InstallValidate) is what keeps
the entries through an upgrade under Wine, and would on Windows even if the
condition were missing.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest

ARGS = None
ORIGINAL = b"# a hosts file\n127.0.0.1 localhost\n"
KEPT = b"# a hosts file\r\n127.0.0.1 localhost\r\n"


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.etc = os.path.join(ARGS.wineprefix, "drive_c", "windows", "system32", "drivers",
                                "etc")
        self.hosts = os.path.join(self.etc, "hosts")
        self.installed = os.path.join(ARGS.wineprefix, "drive_c", "Program Files",
                                      "Example VPN Client", "hosts_entry_tool.exe")
        self.tail = (b"127.0.0.1\t" + ARGS.alias.encode() + b"\r\n127.0.0.1\t" +
                     ARGS.service.encode() + b"\r\n")
        self.tmp = tempfile.mkdtemp(prefix="hosts_msi_")
        with open(self.hosts, "wb") as f:
            f.write(ORIGINAL)

    def tearDown(self):
        os.chmod(self.hosts, 0o644)
        for package in (ARGS.old, ARGS.new):
            self.msiexec("/x", package)
        subprocess.run(["rm", "-rf", self.tmp])

    def msiexec(self, action, package):
        """Runs msiexec quietly; its status and the trace of the msi module."""
        env = dict(os.environ, WINEPREFIX=ARGS.wineprefix, WINEDEBUG="-all,+msi")
        # Into a file, not a pipe: the installer service msiexec starts
        # would hold a pipe open for long after msiexec has ended.
        with tempfile.TemporaryFile() as trace:
            proc = subprocess.run([ARGS.wine, "msiexec", action,
                                   "Z:" + package.replace("/", "\\"), "/qn"], env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=trace, timeout=300)
            trace.seek(0)
            return proc.returncode, trace.read()

    def read(self):
        with open(self.hosts, "rb") as f:
            return f.read()

    def test_install_then_uninstall(self):
        self.assertEqual(self.msiexec("/i", ARGS.old)[0], 0)
        self.assertEqual(self.read(), KEPT + self.tail)
        self.assertEqual(self.msiexec("/x", ARGS.old)[0], 0)
        self.assertEqual(self.read(), KEPT)
        self.assertFalse(os.path.exists(self.installed))

    def test_an_install_that_fails_later_takes_the_entries_out_again(self):
        # A vendor's action after the tool's fails: the install rolls back,
        # and the rollback action takes the entries out.
        failing = os.path.join(self.tmp, "failing.msi")
        subprocess.run(["cp", ARGS.old, failing], check=True)
        subprocess.run(["msibuild", failing, "-q",
                        "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES "
                        "('FailAfterDns', 3106, 'INSTALLDIR', '\"[System64Folder]cmd.exe\" /c exit 3')",
                        "-q", "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES "
                        "('FailAfterDns', 4003)"], check=True)
        status, trace = self.msiexec("/i", failing)
        self.assertNotEqual(status, 0)
        self.assertIn(b"--install-dns", trace)  # the tool's action did run
        self.assertEqual(self.read(), KEPT)
        self.assertFalse(os.path.exists(self.installed))

    def test_a_read_only_hosts_file_fails_the_install(self):
        os.chmod(self.hosts, 0o444)
        status, trace = self.msiexec("/i", ARGS.old)
        self.assertNotEqual(status, 0)
        # -1 reaches the installer as 0xFFFFFFFF.
        self.assertIn(b"exit code is 4294967295", trace)
        self.assertEqual(self.read(), ORIGINAL)
        self.assertFalse(os.path.exists(self.installed))

    def test_an_upgrade_keeps_the_entries(self):
        self.assertEqual(self.msiexec("/i", ARGS.old)[0], 0)
        status, trace = self.msiexec("/i", ARGS.new)
        self.assertEqual(status, 0)
        self.assertEqual(self.read(), KEPT + self.tail)
        # The old product was removed before the new one was installed.
        self.assertLess(trace.find(b"--uninstall-dns"), trace.rfind(b"--install-dns"))
        self.assertEqual(self.msiexec("/x", ARGS.new)[0], 0)
        self.assertEqual(self.read(), KEPT)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--old", required=True, help="the example package, version 1.0.0")
    parser.add_argument("--new", required=True, help="the example package, version 1.0.1")
    parser.add_argument("--wine", required=True)
    parser.add_argument("--wineprefix", required=True)
    parser.add_argument("--alias", required=True)
    parser.add_argument("--service", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.old, ARGS.new = os.path.abspath(ARGS.old), os.path.abspath(ARGS.new)
    program = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
