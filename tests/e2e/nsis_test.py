#!/usr/bin/env python3
"""The example NSIS installer (packaging/hosts_entry_tool.nsi) run silently
under Wine by the shipping guide's own commands, one row of TRANSACTIONS for
every transaction an NSIS installer has, checking the hosts file byte for
byte, the client (the tool's file and the uninstall key) and the installer's
log after each; the names are read from --script, which may be a copy's.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None
ORIGINAL = b"# a hosts file\n127.0.0.1 localhost\n"
KEPT = b"# a hosts file\r\n127.0.0.1 localhost\r\n"
FOLDER = EXAMPLE_FOLDER = "C:\\Program Files\\Example VPN Client"  # --script's, from main()
KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ExampleVpnClient"
READ_ONLY = r"-dns exited with -1 \(4294967295\): hosts_entry_tool: .*: the file is read-only"
# A logged line's transaction, then what follows the tool's path.
INSTALLED = ("install 1.0.0", r"--install-dns exited with 0 \(0\)$")
UNINSTALLED = ("uninstall 1.0.0", r"--uninstall-dns exited with 0 \(0\)$")
UPDATED = ("uninstall 1.0.0 before an update (--updated)", UNINSTALLED[1])

# A transaction as steps, then the last step's exit status as cmd shows it,
# whether the client and the entries are there afterwards, and the lines the
# installer and uninstaller logged (/LOG), in order. Steps: "old", "new" and
# "failing" run that installer, "uninstall" the installed uninstaller, as
# the guide's commands do ("no-log": the old one without /LOG, whose lines go
# to the default log); "read-only" makes the hosts file read-only;
# "held" has a reader hold it (not sharing deletion) for 5 s from the next
# step on.
TRANSACTIONS = [
    ("first install", ["old"], "0", True, True, [INSTALLED]),
    ("a step after the tools run fails", ["failing"], "2", False, False,
     [INSTALLED, UNINSTALLED]),
    ("the tool refuses a read-only hosts file", ["read-only", "old"], "2", False, False,
     [("install 1.0.0", "--install" + READ_ONLY), ("uninstall 1.0.0", "--uninstall" + READ_ONLY)]),
    ("uninstall", ["old", "uninstall"], "0", False, False, [INSTALLED, UNINSTALLED]),
    ("an uninstall whose tool run fails keeps the entries", ["old", "read-only", "uninstall"],
     "0", False, True, [INSTALLED, ("uninstall 1.0.0", "--uninstall" + READ_ONLY)]),
    ("a reinstall of the same version", ["old", "old"], "0", True, True,
     [INSTALLED, UPDATED, INSTALLED]),
    ("an upgrade runs the old uninstaller then the new install", ["old", "new"], "0", True, True,
     [INSTALLED, UPDATED, ("install 1.0.1", INSTALLED[1])]),
    ("an upgrade that fails after the old uninstaller leaves neither", ["old", "failing"], "2",
     False, False, [INSTALLED, UPDATED, INSTALLED, UNINSTALLED]),
    ("a silent install without /LOG logs to the default file", ["no-log", "no-log"], "0", True,
     True, [INSTALLED, UPDATED, INSTALLED]),
    ("an install while a reader holds the hosts file", ["held", "old"], "0", True, True,
     [INSTALLED]),
    ("an uninstall while a reader holds the hosts file", ["old", "held", "uninstall"], "0", False,
     False, [INSTALLED, UNINSTALLED]),
]


def guide_block(name):
    """The fenced block of docs/shipping.md marked `<!-- tested: NAME -->`."""
    with open(ARGS.guide, encoding="utf-8") as f:
        match = re.search(r"^<!-- tested: " + re.escape(name) + r" -->\n```\w*\n(.*?)^```$",
                          f.read(), re.M | re.S)
    if not match:
        raise AssertionError(f"{ARGS.guide} has no block marked tested: {name}")
    return match.group(1)


def defined(name):
    """What the installers' script sets `name` to (!define NAME "..." or NAME "...")."""
    with open(ARGS.script, encoding="utf-8") as f:
        return re.search(r'^(?:!define )?' + name + r' "([^"]*)"', f.read(), re.M).group(1)


class InstallerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.uninstall = guide_block("nsis-uninstall-log").replace(EXAMPLE_FOLDER, FOLDER).replace(
            "Uninstall Example VPN Client.exe", defined("UNINSTALL_FILENAME"))
        temp = cls.wine(None, "cmd", "/c", "echo %TEMP%\\hosts_entry_tool-setup.log").stdout.strip()
        cls.default_log = cls.wine(None, "winepath", "-u", temp).stdout.decode().strip()

    def setUp(self):
        self.hosts = os.path.join(ARGS.wineprefix, "drive_c", "windows", "system32", "drivers",
                                  "etc", "hosts")
        self.folder = os.path.join(ARGS.wineprefix, "drive_c", "Program Files", FOLDER.split("\\")[-1])
        if os.path.exists(self.default_log):
            os.remove(self.default_log)
        self.tail = (b"127.0.0.1\t" + ARGS.alias.encode() + b"\r\n127.0.0.1\t" +
                     ARGS.service.encode() + b"\r\n")
        self.tmp = tempfile.mkdtemp(prefix="hosts_nsis_")
        with open(self.hosts, "wb") as f:
            f.write(ORIGINAL)

    def tearDown(self):
        os.chmod(self.hosts, 0o644)
        if os.path.exists(os.path.join(self.folder, "hosts_entry_tool.exe")):
            self.cmd(self.uninstall)
        self.wine("reg", "delete", KEY, "/f")
        subprocess.run(["rm", "-rf", self.tmp, self.folder])

    def wine(self, *command):
        env = dict(os.environ, WINEPREFIX=ARGS.wineprefix, WINEDEBUG="-all")
        return subprocess.run([ARGS.wine] + list(command), cwd=self and self.tmp, env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=300)

    def cmd(self, script):
        """Runs a batch file under Wine's cmd in the test's folder; its last line."""
        with open(os.path.join(self.tmp, "guide.bat"), "w", newline="\r\n") as f:
            f.write(script)
        lines = self.wine("cmd", "/q", "/c", "guide.bat").stdout.decode(errors="replace").split()
        return lines[-1] if lines else ""

    def step(self, name):
        """Runs a step of a transaction; the exit status cmd shows."""
        if name == "read-only":
            os.chmod(self.hosts, 0o444)
            return None
        if name == "uninstall":
            return self.cmd(self.uninstall)
        installer = {"old": ARGS.old, "new": ARGS.new, "failing": ARGS.failing, "no-log": ARGS.old}[name]
        subprocess.run(["cp", installer, self.tmp], check=True)
        command = guide_block("nsis-install-log").replace(
            "example-setup-1.0.0.exe", os.path.basename(installer))
        return self.cmd(command.replace(' /LOG="%CD%\\setup.log"', "") if name == "no-log" else command)

    def hold(self):
        """A reader that holds the hosts file for 5 s; returns once it holds it."""
        env = dict(os.environ, WINEPREFIX=ARGS.wineprefix, WINEDEBUG="-all")
        proc = subprocess.Popen([ARGS.wine, ARGS.peer, "hold",
                                 "C:\\windows\\system32\\drivers\\etc\\hosts", "read", "5000"],
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = proc.stdout.readline().strip()
        if line != b"ready":
            proc.kill()
            self.fail(f"peer: {line} {proc.communicate()[1]}")
        return proc

    def read(self):
        with open(self.hosts, "rb") as f:
            return f.read()

    def log(self, path):
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return f.read().decode("latin-1").splitlines()

    def run_row(self, steps, status, client, entries, logged):
        holder, started = None, 0
        for name in steps:
            if name == "held":
                holder = self.hold()
                continue
            started = time.monotonic()
            last = self.step(name)
        held_for = time.monotonic() - started
        if holder:
            holder.communicate(timeout=60)
            # The tool waited for the reader to let go.
            self.assertGreater(held_for, 2)
        self.assertEqual(last, status)
        tool = os.path.join(self.folder, "hosts_entry_tool.exe")
        self.assertEqual((os.path.exists(tool), self.wine("reg", "query", KEY).returncode == 0),
                         (client, client))
        if not client and status != "0":
            self.assertFalse(os.path.exists(self.folder), os.path.exists(self.folder) and os.listdir(self.folder))
        unchanged = ORIGINAL if "read-only" in steps and not client and not entries else KEPT
        self.assertEqual(self.read(), unchanged + self.tail if entries else unchanged)
        # Every line in the one log: /LOG's, or the default where none was given.
        logs = [os.path.join(self.tmp, "setup.log"), self.default_log]
        lines, elsewhere = map(self.log, logs[::-1] if "no-log" in steps else logs)
        self.assertEqual((len(lines), elsewhere), (len(logged), []), lines)
        for line, (transaction, pattern) in zip(lines, logged):
            self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d " + re.escape(transaction) +
                             r': HostsEntryTool: "' + re.escape(FOLDER) +
                             r'\\hosts_entry_tool\.exe" ' + pattern)
        if "new" in steps:
            version = self.wine("reg", "query", KEY, "/v", "DisplayVersion").stdout
            self.assertIn(b"1.0.1", version)

    def test_execwait_reads_the_tools_minus_one_as_4294967295(self):
        # The guide's ExecWait lines in an installer of their own, over a
        # read-only hosts file that needs a change: the status reads back as
        # 4294967295, and the guide's comparison stops the install.
        self.assertEqual(self.step("old"), "0")
        with open(self.hosts, "wb") as f:
            f.write(ORIGINAL)
        os.chmod(self.hosts, 0o444)
        script = os.path.join(self.tmp, "execwait.nsi")
        with open(script, "w") as f:
            f.write(f'Unicode true\nTarget amd64-unicode\nRequestExecutionLevel admin\n'
                    f'SilentInstall silent\nOutFile "execwait.exe"\nInstallDir "{FOLDER}"\n'
                    f'!include LogicLib.nsh\nSection\n{guide_block("nsis-execwait")}SectionEnd\n'
                    'Function .onInstFailed\n  FileOpen $1 "$EXEDIR\\status.txt" w\n'
                    '  FileWrite $1 "$0"\n  FileClose $1\nFunctionEnd\n')
        subprocess.run([ARGS.makensis, "-V1", "-WX", script], check=True)
        self.assertEqual(self.wine(os.path.join(self.tmp, "execwait.exe")).returncode, 2)
        with open(os.path.join(self.tmp, "status.txt")) as f:
            self.assertEqual(f.read(), "4294967295")
        self.assertEqual(self.read(), ORIGINAL)

    def test_the_guides_include_script_lines_are_the_examples(self):
        with open(ARGS.script, encoding="utf-8") as f:
            self.assertIn(guide_block("nsis-include"), f.read())

    def test_the_guides_include_lines_build_in_both_electron_builder_passes(self):
        # makensis as electron-builder runs it (-WX, the script on standard input,
        # x86-unicode), on a script of its installer.nsi's shape: the include
        # script first, then its own common.nsh (which defines UNINSTALL_FILENAME),
        # customHeader, and the sections; the uninstaller's pass with BUILD_UNINSTALLER.
        subprocess.run(["cp", os.path.join(os.path.dirname(ARGS.script), "hosts_entry_tool.nsh"), self.tmp])
        with open(os.path.join(self.tmp, "installer.nsh"), "w") as f:
            f.write(guide_block("nsis-include"))
        common = os.path.join(ARGS.electron_builder, "app-builder-lib", "templates", "nsis", "common.nsh")
        script = (f'!addincludedir "{self.tmp}"\n!include "{self.tmp}/installer.nsh"\n!include "{common}"\n'
                  '!insertmacro customHeader\n!ifdef BUILD_UNINSTALLER\nSilentInstall silent\nFunction .onInit\n'
                  '  WriteUninstaller "$PLUGINSDIR\\u.exe"\nFunctionEnd\nSection\nSectionEnd\nSection "un.install"\n'
                  '  !insertmacro customUnInstall\nSectionEnd\n!else\nSection "install"\n'
                  '  !insertmacro customInstall\nSectionEnd\n!endif\n')
        for uninstaller in (["-DBUILD_UNINSTALLER"], []):
            proc = subprocess.run([ARGS.makensis, "-WX", "-INPUTCHARSET", "UTF8", "-DPRODUCT_NAME=Example",
                                   "-DPRODUCT_FILENAME=Example", "-DVERSION=1.0.0", *uninstaller, "-XUnicode true",
                                   f"-XOutFile {self.tmp}/example-installer.exe", "-"], input=script.encode(),
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            self.assertEqual(proc.returncode, 0, (uninstaller, proc.stdout.decode(errors="replace")[-2000:]))


for row in TRANSACTIONS:
    setattr(InstallerTest, "test_" + re.sub(r"\W+", "_", row[0]),
            lambda self, row=row: self.run_row(*row[1:]))


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    for name, what in (("old", "the example installer, version 1.0.0"),
                       ("new", "version 1.0.1"),
                       ("failing", "1.0.0 built with TEST_ONLY_FAIL_AFTER_TOOL"),
                       ("script", "packaging/hosts_entry_tool.nsi"), ("makensis", "makensis"),
                       ("peer", "the helper that holds the hosts file"), ("wine", "wine"),
                       ("wineprefix", "the session's prefix"), ("alias", "the first name"),
                       ("service", "the second name"), ("guide", "docs/shipping.md"),
                       ("electron-builder", "build/electron-builder/node_modules, which "
                                            "scripts/test.sh installs"), ("mode", "ignored")):
        parser.add_argument("--" + name, required=name not in ("electron-builder", "mode"), help=what)
    ARGS, rest = parser.parse_known_args()
    global FOLDER, KEY
    FOLDER = "C:\\Program Files\\" + defined("InstallDir").replace("$PROGRAMFILES64\\", "")
    KEY = "HKLM\\" + defined("UNINSTALL_KEY")
    program = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False)
    result = program.result
    failed = {getattr(case, "test_case", case).id() for case, _ in result.failures + result.errors}
    print(f"{result.testsRun - len(failed)} passed, {len(failed)} failed, "
          f"{len(result.skipped)} skipped")
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)


if __name__ == "__main__":
    main()
