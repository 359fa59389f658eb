#!/usr/bin/env python3
"""The example package (packaging/) installed by Wine's msiexec, checking the
hosts file byte for byte after each install, failed install, upgrade and
removal; its names are read from its tables, so it may be a vendor's copy.

Wine 8 does not set UPGRADINGPRODUCTCODE while an upgrade removes the old
product; a removal that passes it on the command line plays that part. Nor
does it run the rollback of a repair, a patch, a change of features or of
the old product's removal: for those, TransactionTablesTest reads the built
package's tables and works out, for every kind of transaction and a failure
at every later point, what Windows Installer would run.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import unittest
from xml.etree import ElementTree

ARGS = None
ORIGINAL = b"# a hosts file\n127.0.0.1 localhost\n"
KEPT = b"# a hosts file\r\n127.0.0.1 localhost\r\n"


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.etc = os.path.join(ARGS.wineprefix, "drive_c", "windows", "system32", "drivers",
                                "etc")
        self.hosts = os.path.join(self.etc, "hosts")
        folder = {row["Directory"]: row["DefaultDir"] for row in table(ARGS.old, "Directory")}
        self.installed = os.path.join(ARGS.wineprefix, "drive_c", "Program Files",
                                      folder["INSTALLDIR"].split("|")[-1], "hosts_entry_tool.exe")
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

    def msiexec(self, action, package, *properties):
        """Runs msiexec quietly; its status and the trace of the msi module.
        Its status reaches here cut to the low byte, as for any program
        under Wine: 1603 as 67."""
        env = dict(os.environ, WINEPREFIX=ARGS.wineprefix, WINEDEBUG="-all,+msi")
        log = os.path.join(self.tmp, "msiexec.log")
        if "/l*v" not in properties:
            properties += ("/l*v", "Z:" + log.replace("/", "\\"))
        # Into a file, not a pipe: the installer service msiexec starts
        # would hold a pipe open for long after msiexec has ended.
        with tempfile.TemporaryFile() as trace:
            proc = subprocess.run([ARGS.wine, "msiexec", action,
                                   "Z:" + package.replace("/", "\\"), "/qn"] + list(properties),
                                  env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=trace, timeout=300)
            trace.seek(0)
            # Why an msiexec failed, for the suite's output: what the tool
            # and the actions said in the log.
            if proc.returncode and os.path.exists(log):
                for line in self.text(log).splitlines():
                    if "QuietExec" in line or "Return value 3" in line or "rror" in line:
                        print(f"  msiexec {action} {os.path.basename(package)}: {line}",
                              file=sys.stderr)
            return proc.returncode, trace.read()

    def read(self):
        with open(self.hosts, "rb") as f:
            return f.read()

    def test_install_then_uninstall(self):
        self.assertEqual(self.msiexec("/i", ARGS.old)[0], 0)
        self.assertClientAndEntries(True)
        self.assertEqual(self.msiexec("/x", ARGS.old)[0], 0)
        self.assertEqual(self.read(), KEPT)
        self.assertFalse(os.path.exists(self.installed))

    def test_an_install_that_fails_later_takes_the_entries_out_again(self):
        # A vendor's action after the tool's fails: the install rolls back,
        # and the rollback action takes the entries out.
        status, trace = self.msiexec("/i", self.failing(ARGS.old))
        self.assertNotEqual(status, 0)
        self.assertIn(b"--install-dns", trace)  # the tool's action did run
        self.assertEqual(self.read(), KEPT)
        self.assertFalse(os.path.exists(self.installed))

    def test_a_read_only_hosts_file_fails_the_install(self):
        os.chmod(self.hosts, 0o444)
        log = os.path.join(self.tmp, "install.log")
        status, _ = self.msiexec("/i", ARGS.old, "/l*v", "Z:" + log.replace("/", "\\"))
        self.assertEqual(status, 1603 & 0xFF)
        # The tool's status (-1 reaches the installer as 0xFFFFFFFF) and its
        # reason are in the verbose log.
        self.assertLogged(log, r'hosts_entry_tool\.exe" --install-dns exited with -1 \(4294967295\): '
                          r"hosts_entry_tool: .*read-only")
        self.assertEqual(self.read(), ORIGINAL)
        self.assertFalse(os.path.exists(self.installed))

    def assertLogged(self, log, pattern):
        """A QuietExec line of the verbose log matches `pattern`."""
        lines = [line for line in self.text(log).splitlines() if line.startswith("QuietExec: ")]
        self.assertTrue(any(re.search(pattern, line) for line in lines),
                        f"no QuietExec line like {pattern!r} in {log}: {lines}")

    def text(self, path):
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def test_the_guides_commands_log_why_and_the_uninstall_leaves_the_entries(self):
        # The guide's install and uninstall commands, as written, run by cmd
        # from a folder holding the package under the guide's name.
        guide = {name: guide_block(name) for name in ("install-log", "uninstall-log", "clean-up")}
        subprocess.run(["cp", ARGS.old, os.path.join(self.tmp, "my-client-1.0.0.msi")], check=True)
        code = {row["Property"]: row["Value"] for row in table(ARGS.old, "Property")}["ProductCode"]
        guide["uninstall-log"] = guide["uninstall-log"].replace("{ProductCode}", code)
        os.chmod(self.hosts, 0o444)
        self.assertIn("1603", self.cmd(guide["install-log"]))
        self.assertLogged(os.path.join(self.tmp, "install.log"),
                          r"--install-dns exited with -1 \(4294967295\): hosts_entry_tool: ")
        os.chmod(self.hosts, 0o644)
        self.assertEqual(self.msiexec("/i", ARGS.old)[0], 0)
        os.chmod(self.hosts, 0o444)
        self.assertIn("0", self.cmd(guide["uninstall-log"]).split())
        self.assertLogged(os.path.join(self.tmp, "uninstall.log"),
                          r"--uninstall-dns exited with -1 \(4294967295\): .*read-only")
        # The client is gone, the entries stay, as the guide says; the tool
        # from the package takes them out.
        self.assertFalse(os.path.exists(self.installed))
        self.assertEqual(self.read(), KEPT + self.tail)
        with open(os.path.join(self.tmp, "hosts_entry_tool.exe"), "wb") as tool:
            subprocess.run(["msiinfo", "extract", ARGS.old, "Binary.ToolBinary"], stdout=tool,
                           check=True)
        self.assertEqual(self.cmd(guide["clean-up"]).split(), ["0"])
        self.assertEqual(self.read(), KEPT)

    def test_the_guides_repair_puts_the_entries_back(self):
        subprocess.run(["cp", ARGS.old, os.path.join(self.tmp, "my-client-1.0.0.msi")], check=True)
        self.assertEqual(self.cmd(guide_block("install-log")).split(), ["0"])
        with open(self.hosts, "wb") as f:
            f.write(ORIGINAL)
        self.assertEqual(self.cmd(guide_block("repair-log")).split(), ["0"])
        self.assertClientAndEntries(True)

    def cmd(self, script):
        """Runs a batch file under Wine's cmd in the test's folder; its output."""
        with open(os.path.join(self.tmp, "guide.bat"), "w", newline="\r\n") as f:
            f.write(script)
        env = dict(os.environ, WINEPREFIX=ARGS.wineprefix, WINEDEBUG="-all")
        return subprocess.run([ARGS.wine, "cmd", "/q", "/c", "guide.bat"], cwd=self.tmp, env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=300).stdout.decode(errors="replace")

    def failing(self, package, condition="1", sequence=4003):
        """A copy of `package` with an action after the tool's (at `sequence`)
        that fails where `condition` holds."""
        copy = os.path.join(self.tmp, "failing-" + os.path.basename(package))
        subprocess.run(["cp", package, copy], check=True)
        subprocess.run(["msibuild", copy, "-q",
                        "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES "
                        "('FailAfterDns', 3106, 'TARGETDIR', '\"[System64Folder]cmd.exe\" /c exit 3')",
                        "-q", "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) "
                        f"VALUES ('FailAfterDns', '{condition}', {sequence})"], check=True)
        return copy

    def assertClientAndEntries(self, installed):
        """The entries are in the hosts file exactly while the client is."""
        self.assertEqual(os.path.exists(self.installed), installed)
        self.assertEqual(self.read(), KEPT + self.tail if installed else KEPT)

    def test_an_upgrade_over_a_read_only_hosts_file_keeps_the_entries(self):
        # The file already holds the entries, so the new version's install
        # action has nothing to change and succeeds.
        self.assertEqual(self.msiexec("/i", ARGS.old)[0], 0)
        os.chmod(self.hosts, 0o444)
        self.assertEqual(self.msiexec("/i", ARGS.new)[0], 0)
        self.assertClientAndEntries(True)

    def test_an_upgrade_that_fails_later_leaves_neither_version_nor_entries(self):
        # The old version went before the new one's transaction began, so a
        # failure leaves neither; the new version's rollback takes the entries
        # out.
        self.assertEqual(self.msiexec("/i", ARGS.old)[0], 0)
        status, _ = self.msiexec("/i", self.failing(ARGS.new))
        self.assertNotEqual(status, 0)
        self.assertClientAndEntries(False)

    def test_removing_the_old_version_in_an_upgrade_keeps_the_entries(self):
        # As Windows removes it during an upgrade, with UPGRADINGPRODUCTCODE:
        # the entries stay for the new version.
        self.assertEqual(self.msiexec("/i", ARGS.old)[0], 0)
        status, _ = self.msiexec("/x", ARGS.old, "UPGRADINGPRODUCTCODE={00000000-0000-0000-0000-000000000001}")
        self.assertEqual(status, 0)
        self.assertFalse(os.path.exists(self.installed))
        self.assertEqual(self.read(), KEPT + self.tail)

    def test_a_repair_puts_the_entries_back_and_a_failed_one_keeps_them(self):
        package = self.failing(ARGS.old, "FAIL")
        self.assertEqual(self.msiexec("/i", package)[0], 0)
        with open(self.hosts, "wb") as f:
            f.write(ORIGINAL)
        self.assertEqual(self.msiexec("/i", package, "REINSTALL=ALL", "REINSTALLMODE=omus")[0], 0)
        # The repair failing after the tool's action: the client stays, and
        # so do the entries (Wine runs no rollback in a repair; the tables
        # below show that Windows would run none of the tool's either).
        self.assertClientAndEntries(True)
        self.assertNotEqual(
            self.msiexec("/i", package, "REINSTALL=ALL", "REINSTALLMODE=omus", "FAIL=1")[0], 0)
        self.assertClientAndEntries(True)

    def test_an_uninstall_that_fails_later_keeps_entries_and_client_together(self):
        # Windows rolls the removal back, files and entries; Wine's msiexec
        # restores neither (it does not roll back removed files), which
        # leaves no client and no entries: either way, together.
        # Only with FAIL set, so that the clean-up after the test can remove
        # the product this left registered.
        package = self.failing(ARGS.old, 'REMOVE~="ALL" AND FAIL', 3501)  # just after RemoveFiles
        self.assertEqual(self.msiexec("/i", package)[0], 0)
        self.assertNotEqual(self.msiexec("/x", package, "FAIL=1")[0], 0)
        self.assertEqual(os.path.exists(self.installed), self.read() == KEPT + self.tail)

    def test_an_upgrade_keeps_the_entries(self):
        self.assertEqual(self.msiexec("/i", ARGS.old)[0], 0)
        status, trace = self.msiexec("/i", ARGS.new)
        self.assertEqual(status, 0)
        self.assertEqual(self.read(), KEPT + self.tail)
        # The old product was removed before the new one was installed.
        self.assertLess(trace.find(b"--uninstall-dns"), trace.rfind(b"--install-dns"))
        self.assertEqual(self.msiexec("/x", ARGS.new)[0], 0)
        self.assertEqual(self.read(), KEPT)


def evaluate(condition, properties):
    """A Windows Installer condition: property names, "strings", =, <>, ~=
    (equal but for case), NOT, AND, OR and parentheses. An empty condition
    holds; a property is true when it is set."""
    tokens = re.findall(r'"[^"]*"|~=|<>|=|\(|\)|[A-Za-z_][A-Za-z0-9_.]*', condition)
    at = 0

    def take():
        nonlocal at
        at += 1
        return tokens[at - 1]

    def peek():
        return tokens[at] if at < len(tokens) else None

    def value():
        token = take()
        if token == "(":
            result = either()
            take()
            return result
        if token.upper() == "NOT":
            return not truth(value())
        if token.startswith('"'):
            result = token[1:-1]
        else:
            result = properties.get(token, "")
        if peek() in ("=", "<>", "~="):
            operator, other = take(), value()
            if operator == "~=":
                return result.lower() == other.lower()
            return (result == other) == (operator == "=")
        return result

    def truth(result):
        return bool(result)

    def both():
        result = truth(value())
        while peek() and peek().upper() == "AND":
            take()
            result = truth(value()) and result
        return result

    def either():
        result = both()
        while peek() and peek().upper() == "OR":
            take()
            result = both() or result
        return result

    return True if not tokens else either()


# What Windows Installer sets for each kind of transaction, and whether the
# client is installed before it, after it, and after it fails at a later
# action. A major upgrade first removes the old version in a transaction of
# its own (RemoveExistingProducts after InstallValidate), which its failure
# does not undo.
TRANSACTIONS = [
    ("first install", {}, False, True, False),
    ("uninstall", {"Installed": "1", "REMOVE": "ALL"}, True, False, True),
    ("repair", {"Installed": "1", "REINSTALL": "ALL"}, True, True, True),
    ("patch", {"Installed": "1", "PATCH": "C:\\patch.msp", "REINSTALL": "ALL"}, True, True, True),
    ("change of features", {"Installed": "1", "ADDLOCAL": "Main"}, True, True, True),
    ("minor upgrade", {"Installed": "1", "REINSTALL": "ALL", "REINSTALLMODE": "vomus"}, True,
     True, True),
    ("major upgrade", {"WIX_UPGRADE_DETECTED": "{OLD}"}, True, True, False),
]
# The old version's removal within an upgrade: the new version follows, so
# the entries stay.
REMOVAL_IN_UPGRADE = {"Installed": "1", "REMOVE": "ALL", "UPGRADINGPRODUCTCODE": "{NEW}"}


def guide_block(name):
    """The fenced block of docs/shipping.md marked `<!-- tested: NAME -->`."""
    with open(ARGS.guide, encoding="utf-8") as f:
        text = f.read()
    match = re.search(r"^<!-- tested: " + re.escape(name) + r" -->\n```\w*\n(.*?)^```$", text,
                      re.M | re.S)
    if not match:
        raise AssertionError(f"{ARGS.guide} has no block marked tested: {name}")
    return match.group(1)


def table(package, name):
    """A table of the package as rows of column name to value."""
    text = subprocess.run(["msiinfo", "export", package, name], check=True,
                          stdout=subprocess.PIPE).stdout.decode()
    lines = [line.rstrip("\r").split("\t") for line in text.splitlines()]
    return [dict(zip(lines[0], row)) for row in lines[3:]]


class TransactionTablesTest(unittest.TestCase):
    """The built package's own tables, run as Windows Installer runs them:
    for every kind of transaction, completed or failing after any of its
    deferred actions, the entries end up in the hosts file exactly when the
    client is installed."""

    @classmethod
    def setUpClass(cls):
        sequence = {row["Action"]: row for row in table(ARGS.new, "InstallExecuteSequence")}
        rows = table(ARGS.new, "CustomAction")
        # A QuietExec action's command line is the property a type 51 action
        # sets under the action's name.
        commands = {row["Source"]: row["Target"] for row in rows if int(row["Type"]) & 0x3F == 51}
        cls.actions = []  # (sequence, name, condition, rollback, entries after it)
        for row in rows:
            kind = int(row["Type"])
            command = commands.get(row["Action"], row["Target"])
            option = command.split()[-1] if command.split() else ""
            if kind & 0x400 and option in ("--install-dns", "--uninstall-dns"):
                step = sequence[row["Action"]]
                cls.actions.append((int(step["Sequence"]), row["Action"], step["Condition"],
                                    bool(kind & 0x100), option == "--install-dns"))
        cls.actions.sort()

    def run_script(self, properties, entries, fail_after=None):
        """The entries after the transaction's deferred actions, or after its
        rollback when the action at `fail_after` (a sequence number) or the one
        just after it fails."""
        reached = [a for a in self.actions if evaluate(a[2], properties) and
                   (fail_after is None or a[0] <= fail_after)]
        for _, _, _, rollback, installs in reached:
            if not rollback:
                entries = installs
        if fail_after is not None:
            for _, _, _, rollback, installs in reversed(reached):
                if rollback:
                    entries = installs
        return entries

    def test_the_tool_runs_in_the_script(self):
        names = [a[1] for a in self.actions]
        self.assertEqual(sorted(names), ["InstallDns", "RollbackInstallDns",
                                         "RollbackUninstallDns", "UninstallDns"])

    def test_every_transaction_keeps_the_entries_with_the_client(self):
        points = [None] + [a[0] for a in self.actions]
        for name, properties, before, after, after_failure in TRANSACTIONS:
            for point in points:
                with self.subTest(transaction=name, failing_after=point):
                    entries = before
                    if name == "major upgrade":
                        entries = self.run_script(REMOVAL_IN_UPGRADE, entries)
                        self.assertTrue(entries, "the removal of the old version took them out")
                    entries = self.run_script(properties, entries, point)
                    self.assertEqual(entries, after if point is None else after_failure)
            ran = [a[1] for a in self.actions if evaluate(a[2], properties)]
            print(f"{name}: runs {', '.join(ran) or 'none of the tool actions'}", file=sys.stderr)
        self.assertTrue(self.run_script(REMOVAL_IN_UPGRADE, True))


WIX4 = "{http://wixtoolset.org/schemas/v4/wxs}"


class Wix4SourceTest(unittest.TestCase):
    def test_the_wix4_source_makes_the_built_packages_rows(self):
        # Its rows, worked out from its attributes by WiX's rules (no WiX runs
        # here), are those of the package built here from the WiX 3 source.
        root = ElementTree.parse(ARGS.wix4).getroot()
        package = root.find(WIX4 + "Package")
        built = {row["Action"]: row for row in table(ARGS.new, "CustomAction")}
        for a in (action.attrib for action in package.iter(WIX4 + "CustomAction")):
            kind = (51 if "Property" in a else 1 if "DllEntry" in a else 2) + (
                {"deferred": 1024, "rollback": 1280, "commit": 1536}.get(a.get("Execute"), 0) +
                64 * (a.get("Return") == "ignore") + 2048 * (a.get("Impersonate") == "no"))
            row = built.pop(a["Id"], {})
            self.assertEqual((str(kind), a.get("Property") or a["BinaryRef"],
                              a.get("Value") or a.get("DllEntry") or a["ExeCommand"]),
                             (row.get("Type"), row.get("Source"), row.get("Target")), a["Id"])
        self.assertEqual(list(built), [], "actions the WiX 4 source has not")
        sequence = {row["Action"]: row for row in table(ARGS.new, "InstallExecuteSequence")}
        scheduled = {c.get("Action"): c.attrib for c in package.find(WIX4 + "InstallExecuteSequence")}
        scheduled["RemoveExistingProducts"] = {  # MajorUpgrade's Schedule="afterX"
            "After": package.find(WIX4 + "MajorUpgrade").get("Schedule")[len("after"):]}

        def number(action):  # just after the action named, or just before
            a = scheduled.get(action)
            return (int(sequence[action]["Sequence"]) if a is None else
                    number(a["After"]) + 1 if "After" in a else number(a["Before"]) - 1)
        for action, a in scheduled.items():
            self.assertEqual((str(number(action)), a.get("Condition", "")),
                             (sequence[action]["Sequence"], sequence[action]["Condition"]), action)
        properties = {row["Property"].upper(): row["Value"].upper() for row in table(ARGS.new, "Property")}
        p, component = package.attrib, next(package.iter(WIX4 + "Component"))
        folder = next(d for d in package.iter(WIX4 + "Directory") if d.find(WIX4 + "Component") is not None)
        built = table(ARGS.new, "Component")[0]
        directory = {row["Directory"]: row for row in table(ARGS.new, "Directory")}[built["Directory_"]]
        self.assertEqual(
            (root.tag, p["Name"].upper(), p["Manufacturer"].upper(), p["Language"],
             "{" + p["UpgradeCode"].upper() + "}", p.get("Scope") == "perMachine",
             "{" + component.get("Guid").upper() + "}", component.get("Bitness") == "always64",
             folder.get("Id"), folder.get("Name"), component.find(WIX4 + "File").get("Name")),
            (WIX4 + "Wix", properties["PRODUCTNAME"], properties["MANUFACTURER"],
             properties["PRODUCTLANGUAGE"], properties["UPGRADECODE"], properties.get("ALLUSERS") == "1",
             built["ComponentId"], int(built["Attributes"]) & 256 == 256, built["Directory_"],
             directory["DefaultDir"].split("|")[-1], table(ARGS.new, "File")[0]["FileName"]))


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--old", required=True, help="the example package, version 1.0.0")
    parser.add_argument("--new", required=True, help="the example package, version 1.0.1")
    parser.add_argument("--wine", required=True)
    parser.add_argument("--wineprefix", required=True)
    parser.add_argument("--alias", required=True)
    parser.add_argument("--service", required=True)
    parser.add_argument("--guide", required=True, help="docs/shipping.md")
    parser.add_argument("--wix4", required=True, help="the package's WiX 4 source")
    parser.add_argument("--mode"), parser.add_argument("--peer")  # the other suites' arguments
    ARGS, rest = parser.parse_known_args()
    ARGS.old, ARGS.new = os.path.abspath(ARGS.old), os.path.abspath(ARGS.new)
    program = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False)
    result = program.result
    failed = {getattr(case, "test_case", case).id() for case, _ in result.failures + result.errors}
    print(f"{result.testsRun - len(failed)} passed, {len(failed)} failed, "
          f"{len(result.skipped)} skipped")
    for case, reason in result.skipped:
        print(f"skipped: {case.id()}: {reason}")
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)


if __name__ == "__main__":
    main()
