#!/usr/bin/env python3
"""End-to-end tests: run the built hosts_entry_tool against a hosts file and
check the file byte for byte, the exit status and both output streams.

One suite serves two ways of starting the tool:
  --mode native  the host build; SystemRoot names a temporary directory.
  --mode system  the Windows build at the machine's own hosts file's name,
                 through the real SystemRoot: on Windows, or under Wine
                 (--wine) in the prefix given by --wineprefix. The machine's
                 file itself is renamed aside before the first case and
                 back after the last, never written (see SavedHostsFile),
                 and the mode runs only where HOSTS_E2E_DISPOSABLE_MACHINE=1
                 says the machine may be used so.
Cases that only make sense in one mode are collected only there; a case
that cannot run on this machine says why when it is skipped. Where
HOSTS_E2E_REPORT names a file, everything the suite prints goes there too,
as it is printed.
"""

import argparse
import glob
import itertools
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None

ALIAS = SERVICE = MANAGED_TAIL = AWKWARD = AWKWARD_KEPT = NOTHING_TO_CHANGE = None
MESSAGE = b"Failed to GET env SYSTEMROOT"
TEMP_MARK = ".hosts_entry_tool-"
LOCK_NAME = "hosts_entry_tool.lock"
# The machine's own hosts file's name while the system mode runs.
SET_ASIDE_NAME = "hosts.e2e-set-aside"
# The component store's folder for the hosts file, as Windows 10 and 11 name it.
STORE_FOLDER = "amd64_microsoft-windows-w..ucture-other-minwin_31bf3856ad364e35_10.0.{}_none_{}"
LONG_LINE = b"0.0.0.0 " + b" ".join(b"name%07d.example" % i for i in range(150000))
# 1.6 MB of lines that stay as they are.
KEPT_LINES = b"".join(b"0.0.0.0 host%07d.example\r\n" % i for i in range(60000))
# -1 as the runner sees it: 255 from a POSIX shell or Wine's launcher, the
# unsigned 32-bit value on Windows. Set in main().
FAILURE_STATUS = None
# The umask the tool runs with, so that a new file's mode is known.
UMASK = 0o022


def set_host_names(alias, service):
    """The two names the tool was built to manage, and the files made with them."""
    global ALIAS, SERVICE, MANAGED_TAIL, AWKWARD, AWKWARD_KEPT, NOTHING_TO_CHANGE
    ALIAS, SERVICE = alias.encode(), service.encode()
    MANAGED_TAIL = b"127.0.0.1\t" + ALIAS + b"\r\n127.0.0.1\t" + SERVICE + b"\r\n"
    # A hosts file with the awkward parts: Windows' comments, managed lines in
    # several spellings, lines that only look managed, LF and CRLF line ends, a
    # lone CR, NUL, 0x1A, high bytes and no final line end.
    AWKWARD = (
        b"# Copyright (c) 1993-2009 Microsoft Corp.\r\n"
        b"#\r\n"
        b"127.0.0.1 " + ALIAS + b"\n"
        b"#\t127.0.0.1       localhost\r\n"
        b"  \t127.0.0.1   " + SERVICE + b"  # old entry\r\n"
        b"127.0.0.1 " + ALIAS + b" more.names\n"
        b"127.0.0.1 " + ALIAS + b"#\n"
        b"127.0.0.2 " + ALIAS + b"\n"
        b"127.0.0.1 localhost " + SERVICE + b"\n"
        b"#127.0.0.1 " + SERVICE + b"\n"
        b"127.0.0.1 " + ALIAS.upper() + b"\n"
        b"\n"
        b"10.0.0.1 a\rb\x00c\x1a\xff\x80\n"
        b"0.0.0.0 last.example"
    )
    AWKWARD_KEPT = (
        b"# Copyright (c) 1993-2009 Microsoft Corp.\r\n"
        b"#\r\n"
        b"#\t127.0.0.1       localhost\r\n"
        b"127.0.0.1 " + ALIAS + b"#\r\n"
        b"127.0.0.2 " + ALIAS + b"\r\n"
        b"127.0.0.1 localhost " + SERVICE + b"\r\n"
        b"#127.0.0.1 " + SERVICE + b"\r\n"
        b"127.0.0.1 " + ALIAS.upper() + b"\r\n"
        b"\r\n"
        b"10.0.0.1 a\rb\x00c\x1a\xff\x80\r\n"
        b"0.0.0.0 last.example\r\n"
    )
    # Files and options: one that would have to change, and for each option
    # one that already is what it asks for.
    NOTHING_TO_CHANGE = [(AWKWARD, "--install-dns"), (AWKWARD_KEPT + MANAGED_TAIL, "--install-dns"),
                         (AWKWARD_KEPT, "--uninstall-dns")]


def rewritten(data, install):
    """What the tool makes of `data`: a plain model of the transform."""
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    out = b""
    for line in lines:
        if line.endswith(b"\r"):
            line = line[:-1]
        tokens = line.split() if not line.startswith(b"#") else []
        if tokens[:1] == [b"127.0.0.1"] and tokens[1:2] in ([ALIAS], [SERVICE]):
            continue
        out += line + b"\r\n"
    return out + (MANAGED_TAIL if install else b"")


# Wine's debug channels logged for every run under Wine: enough to tell how
# far a run got (the DLLs it loaded, exceptions, process start and end) when
# it exits with a status the tool never gives.
WINE_CHANNELS = "-all,err+all,+seh,+process,+loaddll"
WINE_LINE = re.compile(rb"^[0-9a-f]{4}:(?:trace|err|warn|fixme):")


class Result:
    """A run's exit status and output; under Wine its debug lines are kept
    apart from the tool's standard error."""

    def __init__(self, proc):
        self.status = proc.returncode
        self.out = proc.stdout
        lines = proc.stderr.splitlines(keepends=True)
        self.wine_log = b"".join(l for l in lines if WINE_LINE.match(l))
        self.err = b"".join(l for l in lines if not WINE_LINE.match(l))


class UnexpectedStatus(AssertionError):
    pass


def checked(proc, command):
    """The result of a run of the tool, which may only exit with 0 or -1: any
    other status is reported with the run's standard error and Wine's log."""
    result = Result(proc)
    if result.status not in (0, FAILURE_STATUS):
        raise UnexpectedStatus(
            f"{command}: exit status {result.status}, which the tool never gives\n"
            f"stdout: {result.out!r}\nstderr: {result.err!r}\nWine's log of the run:\n"
            f"{result.wine_log.decode('latin-1') or '(none)'}")
    return result


class Sandbox:
    """Where the hosts file lives and how the tool is started."""

    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="hosts_e2e_")
        if ARGS.mode == "native":
            self.root = os.path.join(self.tmp, "Windows")
            self.etc = os.path.join(self.root, "System32", "drivers", "etc")
        else:
            self.root = None
            self.etc = ARGS.etc
        os.makedirs(self.etc, exist_ok=True)
        self.hosts = os.path.join(self.etc, "hosts")
        self.remove_hosts()

    def remove_hosts(self):
        if os.path.islink(self.hosts) or os.path.isfile(self.hosts):
            if not os.path.islink(self.hosts):
                os.chmod(self.hosts, 0o644)
            os.unlink(self.hosts)
        elif os.path.isdir(self.hosts):
            shutil.rmtree(self.hosts)

    def cleanup(self):
        if ARGS.mode == "system":
            self.remove_hosts()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def write(self, data):
        with open(self.hosts, "wb") as f:
            f.write(data)

    def read(self):
        with open(self.hosts, "rb") as f:
            return f.read()

    def leftovers(self):
        """What runs left in the folder: temporary files, and the lock where
        runs delete it (Wine cannot: it has no POSIX-semantics delete)."""
        return [n for n in os.listdir(self.etc)
                if TEMP_MARK in n or (n == LOCK_NAME and not ARGS.wine)]

    def command(self, args):
        """Starts a program of the Windows build, or the tool, with `args`."""
        return windows_command([ARGS.tool] + list(args)) if ARGS.mode == "system" else \
            [ARGS.tool] + list(args)

    def env(self, root="default"):
        env = dict(os.environ)
        if ARGS.wine:
            env.pop("SystemRoot", None)  # Wine sets its own
            env["WINEPREFIX"] = ARGS.wineprefix
            env["WINEDEBUG"] = WINE_CHANNELS
        elif ARGS.mode == "native":
            env.pop("SystemRoot", None)
            if root == "default":
                env["SystemRoot"] = self.root
            elif root is not None:
                env["SystemRoot"] = root
        return env

    def run(self, *args, root="default", cwd=None, wrap=None):
        command = self.command(args)
        if wrap:
            command = wrap + command
        proc = subprocess.run(command, env=self.env(root), cwd=cwd or self.tmp,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        return checked(proc, args)


def windows_command(command):
    """A Windows program's command line: through Wine where it runs under Wine."""
    return ([ARGS.wine] if ARGS.wine else []) + list(command)


class ToolTestCase(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()

    def tearDown(self):
        self.box.cleanup()

    def assertSucceeded(self, result):
        self.assertEqual((result.status, result.out, result.err), (0, b"", b""))
        self.assertEqual(self.box.leftovers(), [])

    def assertUntouchedSince(self, info):
        """The file is the one described by `info`, not written since."""
        now = os.stat(self.box.hosts)
        self.assertEqual((now.st_ino, now.st_mtime_ns, now.st_size),
                         (info.st_ino, info.st_mtime_ns, info.st_size))

    def assertUnchangedUnlessNeeded(self, result, before, *words):
        """Refused, as `words` say, where the file would have to change; 0 and
        nothing written where it already is what was asked."""
        if before == AWKWARD:
            self.assertFailedUnchanged(result, before, *words)
        else:
            self.assertSucceeded(result)
            self.assertEqual(self.box.read(), before)

    def assertFailedUnchanged(self, result, before, *words):
        """The promise on failure: -1, the file as it was, one line on stderr."""
        self.assertEqual(result.status, FAILURE_STATUS, result.err)
        self.assertEqual(result.out, b"")
        self.assertEqual(result.err.count(b"\n"), 1, result.err)
        self.assertTrue(result.err.startswith(b"hosts_entry_tool: "), result.err)
        for word in words:
            self.assertIn(word, result.err)
        if before is None:
            self.assertFalse(os.path.exists(self.box.hosts))
        else:
            self.assertEqual(self.box.read(), before)
        self.assertEqual(self.box.leftovers(), [])


class CommandTest(ToolTestCase):
    def test_install_and_uninstall(self):
        cases = [
            ("missing file", None, MANAGED_TAIL, b""),
            ("empty file", b"", MANAGED_TAIL, b""),
            ("awkward file", AWKWARD, AWKWARD_KEPT + MANAGED_TAIL, AWKWARD_KEPT),
            ("byte-order mark", b"\xef\xbb\xbf127.0.0.1 " + ALIAS + b"\n",
             b"\xef\xbb\xbf127.0.0.1 " + ALIAS + b"\r\n" + MANAGED_TAIL,
             b"\xef\xbb\xbf127.0.0.1 " + ALIAS + b"\r\n"),
            ("only lone carriage returns", b"a\rb\r", b"a\rb\r\r\n" + MANAGED_TAIL, b"a\rb\r\r\n"),
            # Longer than one read: the line is carried across reads.
            ("a 2.5 MB line", LONG_LINE + b"\n127.0.0.1 " + ALIAS + b"\nz",
             LONG_LINE + b"\r\nz\r\n" + MANAGED_TAIL, LONG_LINE + b"\r\nz\r\n"),
            # Megabytes that stay around lines that change, before and after
            # them: written from where they were read.
            ("megabytes around an entry",
             KEPT_LINES + b"127.0.0.1 " + ALIAS + b"\r\nx\n" + KEPT_LINES,
             KEPT_LINES + b"x\r\n" + KEPT_LINES + MANAGED_TAIL,
             KEPT_LINES + b"x\r\n" + KEPT_LINES),
        ]
        for name, before, installed, uninstalled in cases:
            for option, expected in (("--install-dns", installed),
                                     ("--uninstall-dns", uninstalled)):
                with self.subTest(name=name, option=option):
                    self.box.remove_hosts()
                    if before is not None:
                        self.box.write(before)
                    self.assertSucceeded(self.box.run(option))
                    self.assertEqual(self.box.read(), expected)
                    if before is None and ARGS.mode == "native":
                        # A new file gets the usual mode, less the umask.
                        self.assertEqual(stat.S_IMODE(os.stat(self.box.hosts).st_mode),
                                         0o666 & ~UMASK)

    def test_install_is_repeatable(self):
        # The second install finds nothing to change and writes nothing: the
        # same file, its times untouched.
        self.box.write(AWKWARD)
        self.assertSucceeded(self.box.run("--install-dns"))
        once = self.box.read()
        first = os.stat(self.box.hosts)
        self.assertSucceeded(self.box.run("--install-dns"))
        self.assertEqual(self.box.read(), once)
        self.assertUntouchedSince(first)
        self.assertSucceeded(self.box.run("--uninstall-dns"))
        self.assertEqual(self.box.read(), AWKWARD_KEPT)

    def test_ignored_command_lines_change_nothing(self):
        cases = [[], ["--INSTALL-DNS"], ["--Install-Dns"], ["--install-dn"],
                 ["--install-dns=1"], ["-install-dns"], ["--uninstall"], ["--help"],
                 ["/install-dns"], [""], ["*"]]
        for args in cases:
            with self.subTest(args=args):
                self.box.write(AWKWARD)
                result = self.box.run(*args)
                self.assertEqual((result.status, result.out, result.err), (0, b"", b""))
                self.assertEqual(self.box.read(), AWKWARD)
                self.assertEqual(self.box.leftovers(), [])

    def test_only_the_first_option_counts(self):
        self.box.write(b"x\n")
        self.assertSucceeded(self.box.run("--install-dns", "--uninstall-dns"))
        self.assertEqual(self.box.read(), b"x\r\n" + MANAGED_TAIL)
        self.assertSucceeded(self.box.run("--uninstall-dns", "--install-dns"))
        self.assertEqual(self.box.read(), b"x\r\n")
        self.assertSucceeded(self.box.run("--bogus", "--install-dns"))
        self.assertEqual(self.box.read(), b"x\r\n")

    def test_wildcards_reach_the_tool_as_typed(self):
        # Were '*' expanded, it would become the name of this file, which is
        # the install option.
        cwd = os.path.join(self.box.tmp, "cwd")
        os.makedirs(cwd)
        open(os.path.join(cwd, "--install-dns"), "w").close()
        self.box.write(b"x\r\n")
        result = self.box.run("*", cwd=cwd)
        self.assertEqual((result.status, result.out, result.err), (0, b"", b""))
        self.assertEqual(self.box.read(), b"x\r\n")

    def test_a_directory_in_place_of_the_file(self):
        os.makedirs(self.box.hosts)
        result = self.box.run("--install-dns")
        self.assertEqual(result.status, FAILURE_STATUS)
        self.assertEqual(result.out, b"")
        self.assertEqual(result.err.count(b"\n"), 1, result.err)
        self.assertIn(b"not a regular file", result.err)
        self.assertTrue(os.path.isdir(self.box.hosts))
        self.assertEqual(self.box.leftovers(), [])

    def test_planted_leftovers_stay(self):
        # Cleanup removes only what this tool could have made: a file named
        # like a leftover that leads elsewhere, or that another user owns,
        # stays, and so does what it leads to.
        outside = os.path.join(self.box.tmp, "precious")
        planted = os.path.join(self.box.etc, "hosts" + TEMP_MARK + "3.tmp")

        def another_users_file(path):
            with open(path, "wb") as f:
                f.write(b"a user's")
            os.chown(path, 65534, 65534)

        cases = [("a link", lambda path: os.symlink(outside, path), None)]
        if ARGS.mode == "native":
            cases.append(("another user's file", another_users_file,
                          None if os.geteuid() == 0 else "needs root to give a file to another user"))
        for name, plant, cannot in cases:
            with self.subTest(planted=name):
                if cannot:
                    self.skipTest(cannot)
                with open(outside, "wb") as f:
                    f.write(b"precious")
                plant(planted)
                self.box.write(AWKWARD)
                try:
                    result = self.box.run("--install-dns")
                    self.assertEqual((result.status, result.out, result.err), (0, b"", b""))
                    self.assertTrue(os.path.lexists(planted))
                finally:
                    if os.path.lexists(planted):
                        os.unlink(planted)
                with open(outside, "rb") as f:
                    self.assertEqual(f.read(), b"precious")

    def test_the_readmes_refusal_texts_are_the_tools(self):
        # Each text the README gives scripts to key on is in one of the sources' messages.
        root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
        literals = [t.replace('\\"', '"') for name in glob.glob(root + "/hosts/*.[ch]*")
                    for t in re.findall(r'"((?:[^"\\]|\\.)*)"', open(name, encoding="utf-8").read())]
        table = open(root + "/README.md", encoding="utf-8").read().split("| refusal (exit status -1) |")[1]
        texts = re.findall(r"`([^`]+)`", "".join(r.split(" | ")[2] for r in table.split("\n\n")[0].splitlines()[2:]))
        self.assertGreater(len(texts), 15)
        for text in texts:
            self.assertTrue(any(text in literal for literal in literals), text)

    def test_a_read_only_file_stays_read_only(self):
        # Refused where it would have to change; where it already is what was
        # asked, 0 and nothing written.
        for before, option in NOTHING_TO_CHANGE:
            with self.subTest(option=option, unchanged=before != AWKWARD):
                self.box.remove_hosts()
                self.box.write(before)
                os.chmod(self.box.hosts, 0o444)
                self.assertUnchangedUnlessNeeded(self.box.run(option), before, b"read-only")
                self.assertEqual(stat.S_IMODE(os.stat(self.box.hosts).st_mode), 0o444)


def only_in(mode):
    """Marks a case that only makes sense in one mode; it is collected only there."""
    def mark(test):
        test.mode = mode
        return test
    return mark


# SystemRoot of a test's own, Linux mounts and permissions.
native_only = only_in("native")
# Windows attributes, sharing and other programs beside the tool.
windows_only = only_in("system")


def can_run(*command):
    try:
        return subprocess.run(command, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


def needs_root(test):
    """A native case that makes real faults with root's powers."""
    def wrapper(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")
        if not can_run("unshare", "-m", "true"):
            self.skipTest("no private mount namespaces here")
        test(self)
    wrapper.__name__ = test.__name__
    return native_only(wrapper)


def load_tests(loader, tests, pattern):
    """The cases of this run's mode: --canary runs only the canary."""
    wanted = "canary" if ARGS.canary else ARGS.mode
    selected = unittest.TestSuite()
    other = 0
    for case in (c for suite in tests for c in suite):
        mode = getattr(getattr(case, case._testMethodName), "mode", None)
        if mode == wanted or (mode is None and wanted != "canary"):
            selected.addTest(case)
        else:
            other += 1
    print(f"{selected.countTestCases()} cases for the {wanted} mode; "
          f"{other} belong to another mode and run there")
    return selected


class SystemRootTest(ToolTestCase):
    @native_only
    def test_unset_or_overlong_system_root(self):
        for name, root in (("unset", None), ("229 characters", "/" + "r" * 228),
                           ("far too long", "/" + "r" * 4000)):
            with self.subTest(name=name):
                result = self.box.run("--install-dns", root=root)
                self.assertEqual((result.status, result.out, result.err),
                                 (FAILURE_STATUS, MESSAGE + b"\n", b""))

    @native_only
    def test_empty_or_relative_system_root(self):
        # Refused before anything is touched, on standard error.
        for root, says in (("", b"is empty"), ("Windows", b"is not an absolute path")):
            with self.subTest(root=root):
                result = self.box.run("--install-dns", root=root, cwd=os.path.dirname(self.box.root))
                self.assertEqual((result.status, result.out), (FAILURE_STATUS, b""))
                self.assertEqual(result.err, b'hosts_entry_tool: SystemRoot "' + root.encode() +
                                 b'": ' + says + b"; nothing was changed\n")
                self.assertFalse(os.path.exists(self.box.hosts))

    @native_only
    def test_longest_system_root_that_fits(self):
        # 228 characters of SystemRoot and 27 of suffix: 255 in all.
        root = os.path.join(self.box.tmp, "")
        root += "r" * (228 - len(root))
        self.assertEqual(len(root), 228)
        etc = os.path.join(root, "System32", "drivers", "etc")
        os.makedirs(etc)
        result = self.box.run("--install-dns", root=root)
        self.assertEqual((result.status, result.out, result.err), (0, b"", b""))
        with open(os.path.join(etc, "hosts"), "rb") as f:
            self.assertEqual(f.read(), MANAGED_TAIL)

    @native_only
    def test_trailing_separator_is_kept(self):
        self.box.write(b"x\n")
        self.assertSucceeded(self.box.run("--install-dns", root=self.box.root + "/"))
        self.assertEqual(self.box.read(), b"x\r\n" + MANAGED_TAIL)

    @native_only
    def test_missing_directory_is_a_failure(self):
        result = self.box.run("--install-dns", root=os.path.join(self.box.tmp, "nowhere"))
        self.assertEqual(result.status, FAILURE_STATUS)
        self.assertEqual(result.out, b"")
        self.assertIn(b"open the folder", result.err)


class RealFaultTest(ToolTestCase):
    """Faults made for real with Linux mounts and attributes."""

    def in_namespace(self, setup, *args):
        """Runs the tool in a private mount namespace after `setup` (shell)."""
        script = setup + ' && exec "$@"'
        return self.box.run(*args, wrap=["unshare", "-m", "sh", "-c", script, "sh"])

    @needs_root
    def test_read_only_folder(self):
        etc = self.box.etc
        for before, option in NOTHING_TO_CHANGE:
            with self.subTest(option=option, unchanged=before != AWKWARD):
                self.box.write(before)
                result = self.in_namespace(
                    f"mount --bind '{etc}' '{etc}' && mount -o remount,bind,ro '{etc}'", option)
                self.assertUnchangedUnlessNeeded(result, before, b"Read-only file system",
                                                 b"in place")

    @needs_root
    def test_read_only_folder_with_a_writable_file(self):
        self.box.write(AWKWARD)
        etc, hosts = self.box.etc, self.box.hosts
        result = self.in_namespace(
            f"mount --bind '{etc}' '{etc}' && mount -o remount,bind,ro '{etc}' && "
            f"mount --bind '{hosts}' '{hosts}' && mount -o remount,bind,rw '{hosts}'",
            "--install-dns")
        self.assertSucceeded(result)
        self.assertEqual(self.box.read(), AWKWARD_KEPT + MANAGED_TAIL)

    @needs_root
    def test_bind_mounted_file(self):
        # The rename over a mount point fails; the rewrite in place works.
        self.box.write(AWKWARD)
        outside = os.path.join(self.box.tmp, "outside")
        with open(outside, "wb") as f:
            f.write(AWKWARD)
        result = self.in_namespace(f"mount --bind '{outside}' '{self.box.hosts}'",
                                   "--uninstall-dns")
        self.assertSucceeded(result)
        with open(outside, "rb") as f:
            self.assertEqual(f.read(), AWKWARD_KEPT)

    @needs_root
    def test_full_disk(self):
        # An LF-only file that nearly fills a tiny tmpfs grows by one CR per
        # line: the temporary file cannot be written.
        small = os.path.join(self.box.tmp, "small")
        etc = os.path.join(small, "System32", "drivers", "etc")
        after = os.path.join(self.box.tmp, "after")
        listing = os.path.join(self.box.tmp, "listing")
        os.makedirs(small)
        lines = b"".join(b"0.0.0.0 host%05d.example\n" % i for i in range(1700))
        script = (f"mount -t tmpfs -o size=64k tmpfs '{small}' && mkdir -p '{etc}' && "
                  f"cat > '{etc}/hosts' && SystemRoot='{small}' \"$@\"; status=$?; "
                  f"cat '{etc}/hosts' > '{after}'; ls -a '{etc}' > '{listing}'; exit $status")
        proc = subprocess.run(
            ["unshare", "-m", "sh", "-c", script, "sh", ARGS.tool, "--install-dns"],
            input=lines, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(proc.returncode, FAILURE_STATUS, proc.stderr)
        self.assertEqual(proc.stdout, b"")
        self.assertEqual(proc.stderr.count(b"\n"), 1, proc.stderr)
        self.assertIn(b"No space left on device", proc.stderr)
        with open(after, "rb") as f:
            self.assertEqual(f.read(), lines)
        with open(listing) as f:
            self.assertEqual(sorted(f.read().split()), [".", "..", "hosts"])

    @needs_root
    def test_immutable_or_append_only_file(self):
        for flag in ("i", "a"):
            for before, option in NOTHING_TO_CHANGE:
                with self.subTest(flag=flag, option=option, unchanged=before != AWKWARD):
                    self.box.write(before)
                    if subprocess.run(["chattr", "+" + flag, self.box.hosts]).returncode != 0:
                        self.skipTest("this file system has no such flag")
                    try:
                        self.assertUnchangedUnlessNeeded(self.box.run(option), before,
                                                         b"immutable or append-only")
                    finally:
                        subprocess.run(["chattr", "-" + flag, self.box.hosts], check=True)

    @needs_root
    def test_flushes_before_the_rename(self):
        if not can_run("strace", "-o", "/dev/null", "true"):
            self.skipTest("strace cannot trace here")
        self.box.write(AWKWARD)
        trace = os.path.join(self.box.tmp, "trace")
        # LeakSanitizer cannot run under ptrace; the sanitizer build skips it here.
        result = self.box.run("--install-dns", wrap=[
            "env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-o", trace, "-e",
            "trace=fsync,rename,renameat,renameat2"])
        self.assertSucceeded(result)
        with open(trace) as f:
            calls = [line.split("(")[0] for line in f if "(" in line]
        rename = next(i for i, call in enumerate(calls) if call.startswith("rename"))
        # The new file is on stable storage before it takes the name, and the
        # rename itself after.
        self.assertIn("fsync", calls[:rename])
        self.assertIn("fsync", calls[rename:])

    @needs_root
    def test_link_mode_and_owner_survive(self):
        # The file a link leads to keeps its mode, owner and group, also when
        # only one of them differs from what a new file would get.
        real = os.path.join(self.box.tmp, "real_hosts")
        for mode, uid, gid in ((0o640, 4321, 8765), (0o604, 0, 8765), (0o600, 4321, 0)):
            with self.subTest(mode=oct(mode), uid=uid, gid=gid):
                self.box.remove_hosts()
                with open(real, "wb") as f:
                    f.write(AWKWARD)
                os.chmod(real, mode)
                os.chown(real, uid, gid)
                os.symlink(real, self.box.hosts)
                self.assertSucceeded(self.box.run("--install-dns"))
                self.assertTrue(os.path.islink(self.box.hosts))
                self.assertEqual(os.readlink(self.box.hosts), real)
                info = os.stat(real)
                self.assertEqual((stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid),
                                 (mode, uid, gid))
                with open(real, "rb") as f:
                    self.assertEqual(f.read(), AWKWARD_KEPT + MANAGED_TAIL)
                self.assertEqual([n for n in os.listdir(self.box.tmp) if TEMP_MARK in n], [])

    def run_as_nobody(self, option):
        """Runs the tool as an unprivileged user that may write the folder."""
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        if not can_run(*nobody, "true"):
            self.skipTest("setpriv cannot drop to an unprivileged user here")
        path = self.box.etc
        while path != self.box.tmp:
            os.chmod(path, 0o777 if path == self.box.etc else 0o755)
            path = os.path.dirname(path)
        os.chmod(self.box.tmp, 0o755)
        return self.box.run(option, wrap=nobody)

    @needs_root
    def test_owner_is_kept_without_root(self):
        # The temporary file cannot be given root's owner, so the file is
        # rewritten in place and keeps owner and mode.
        self.box.write(AWKWARD)
        os.chmod(self.box.hosts, 0o666)
        self.assertSucceeded(self.run_as_nobody("--install-dns"))
        self.assertEqual(self.box.read(), AWKWARD_KEPT + MANAGED_TAIL)
        info = os.stat(self.box.hosts)
        self.assertEqual((info.st_uid, stat.S_IMODE(info.st_mode)), (0, 0o666))

    @needs_root
    def test_no_write_permission_without_root(self):
        self.box.write(AWKWARD)
        os.chmod(self.box.hosts, 0o644)
        self.assertFailedUnchanged(self.run_as_nobody("--uninstall-dns"), AWKWARD,
                                   b"Permission denied")
        self.assertEqual(os.stat(self.box.hosts).st_uid, 0)


class LinkAndEncodingTest(ToolTestCase):
    @native_only
    def test_symbolic_links_stay_links(self):
        # Relative and absolute, a link to a link: the last target is rewritten.
        real_dir = os.path.join(self.box.tmp, "real")
        os.makedirs(real_dir)
        real = os.path.join(real_dir, "hosts")
        middle = os.path.join(self.box.tmp, "middle")
        cases = [("absolute", real, []),
                 ("relative", os.path.relpath(real, self.box.etc), []),
                 ("two links", "../../../../middle", [(middle, "real/hosts")])]
        for name, link, others in cases:
            with self.subTest(link=name):
                self.box.remove_hosts()
                for path, target in others:
                    os.symlink(target, path)
                with open(real, "wb") as f:
                    f.write(AWKWARD)
                os.symlink(link, self.box.hosts)
                self.assertSucceeded(self.box.run("--install-dns"))
                self.assertEqual(os.readlink(self.box.hosts), link)
                with open(real, "rb") as f:
                    self.assertEqual(f.read(), AWKWARD_KEPT + MANAGED_TAIL)
                for path, _ in others:
                    os.unlink(path)

    @native_only
    def test_links_that_are_refused(self):
        # Refused with the file as it was: a link another user could have
        # planted, anywhere on the way, and a chain of links that never ends.
        real = os.path.join(self.box.tmp, "real_hosts")
        drivers = os.path.dirname(self.box.etc)
        moved = drivers + ".real"
        elsewhere = os.path.join(self.box.tmp, "elsewhere")

        # Each plants its links and names the file that must stay as it was.
        def users_link():
            os.symlink(real, self.box.hosts)
            os.lchown(self.box.hosts, 65534, 65534)
            return real

        def users_link_on_the_way():
            # System32/drivers becomes another user's link to a folder that
            # looks the same.
            self.box.write(AWKWARD)
            os.rename(drivers, moved)
            os.symlink(moved, drivers)
            os.lchown(drivers, 65534, 65534)
            return os.path.join(moved, "etc", "hosts")

        def loop():
            os.symlink("loop", self.box.hosts)
            os.symlink("hosts", os.path.join(self.box.etc, "loop"))
            return real

        def into(owner, mode, below=""):
            """Root's link to a root-owned file in a folder `owner` has with
            `mode`, or in a root-owned folder `below` that one."""
            def plant():
                os.makedirs(os.path.join(elsewhere, below))
                os.chown(elsewhere, owner, owner)
                os.chmod(elsewhere, mode)
                kept = os.path.join(elsewhere, below, "hosts")
                with open(kept, "wb") as f:
                    f.write(AWKWARD)
                os.symlink(kept, self.box.hosts)
                return kept
            return plant

        def in_users_folder():
            # Root's link, but in a folder another user owns, who could
            # swap it for another at any moment.
            os.symlink(real, self.box.hosts)
            os.chown(self.box.etc, 65534, 65534)
            return real
        as_root = None if os.geteuid() == 0 else "needs root to give a link to another user"
        cases = [("another user's link", users_link, as_root, b"belongs to user 65534"),
                 ("another user's link on the way", users_link_on_the_way, as_root,
                  b"belongs to user 65534"),
                 ("a loop", loop, None, b"too many levels of symbolic links"),
                 ("into another user's folder", into(65534, 0o755), as_root,
                  b"the folder " + elsewhere.encode() + b" belongs to user 65534"),
                 ("into a folder everyone may write", into(0, 0o1777), as_root,
                  b"the folder it leads to, " + elsewhere.encode() +
                  b" may be changed by its group or by others (mode 1777)"),
                 ("through another user's folder on the way", into(65534, 0o755, "a"), as_root,
                  b"the folder " + elsewhere.encode() + b" belongs to user 65534"),
                 ("in another user's folder", in_users_folder, as_root,
                  b"the folder holding it, " + self.box.etc.encode() + b" belongs to user 65534")]
        for name, plant, cannot, says in cases:
            with self.subTest(link=name):
                if cannot:
                    self.skipTest(cannot)
                with open(real, "wb") as f:
                    f.write(AWKWARD)
                kept = plant()
                try:
                    result = self.box.run("--install-dns")
                    with open(kept, "rb") as f:
                        self.assertEqual(f.read(), AWKWARD)
                finally:
                    if os.path.islink(drivers):
                        os.unlink(drivers)
                        os.rename(moved, drivers)
                    for path in (self.box.hosts, os.path.join(self.box.etc, "loop")):
                        if os.path.lexists(path):
                            os.unlink(path)
                    shutil.rmtree(elsewhere, ignore_errors=True)
                    if as_root is None:
                        os.chown(self.box.etc, 0, 0)
                self.assertEqual(result.status, FAILURE_STATUS)
                self.assertEqual(result.err.count(b"\n"), 1, result.err)
                self.assertIn(says, result.err)

    def test_hard_links(self):
        # A second name elsewhere is refused; on Windows the component
        # store's own name for the file is not counted, and keeps its copy.
        windows = os.path.dirname(os.path.dirname(os.path.dirname(self.box.etc)))
        store = os.path.join(windows, "winsxs",
                             STORE_FOLDER.format("22621.1", "0123456789abcdef"))
        cases = [("another name", os.path.join(self.box.etc, "hosts.other-name"), False)]
        if ARGS.mode == "system":
            cases.append(("the component store's", os.path.join(store, "hosts"), True))
        for (name, other, succeeds), (before, option) in itertools.product(cases,
                                                                        NOTHING_TO_CHANGE):
            with self.subTest(name=name, option=option, unchanged=before != AWKWARD):
                self.box.write(before)
                try:
                    os.makedirs(os.path.dirname(other), exist_ok=True)
                except PermissionError:
                    self.skipTest("the component store takes no new folder here")
                os.link(self.box.hosts, other)
                try:
                    result = self.box.run(option)
                    if succeeds:
                        self.assertSucceeded(result)
                        self.assertEqual(self.box.read(), rewritten(before, option == "--install-dns"))
                        with open(other, "rb") as f:
                            self.assertEqual(f.read(), before)
                    else:
                        self.assertUnchangedUnlessNeeded(result, before, b"hard links")
                finally:
                    os.unlink(other)

    @windows_only
    def test_the_machines_own_store_name(self):
        # The machine's own hosts file where it has a second name in the
        # component store: the System32 name gets the new file, and the file
        # itself, which keeps the store's name, stays as it was. Wine's
        # prefix is given such a name for the case, as Windows 10 and 11
        # give it; a Windows whose file has none cannot run the case.
        twin = SAVED.store_name()
        made = None
        if twin is None:
            if not ARGS.wine:
                self.skipTest("this machine's hosts file has no second name in the component "
                              "store (the facts report lists its names)")
            windows = os.path.dirname(os.path.dirname(os.path.dirname(self.box.etc)))
            made = twin = os.path.join(windows, "winsxs",
                                       STORE_FOLDER.format("19041.1", "fedcba9876543210"), "hosts")
            os.makedirs(os.path.dirname(made), exist_ok=True)
            os.link(SAVED.aside, made)
        install = rewritten(SAVED.data, True) != SAVED.data
        os.replace(SAVED.aside, self.box.hosts)
        try:
            result = self.box.run("--install-dns" if install else "--uninstall-dns")
        finally:
            # The file gets its set-aside name back: renamed, where the run
            # left it at the hosts name, or else linked again from the store.
            try:
                still_there = os.path.samefile(self.box.hosts, twin)
            except OSError:
                still_there = False
            if still_there:
                os.replace(self.box.hosts, SAVED.aside)
            else:
                os.link(twin, SAVED.aside)
            if made:
                os.unlink(made)
        self.assertSucceeded(result)
        self.assertEqual(self.box.read(), rewritten(SAVED.data, install))
        self.assertFalse(os.path.samefile(self.box.hosts, SAVED.aside))
        with open(SAVED.aside, "rb") as f:
            self.assertEqual(f.read(), SAVED.data)

    def test_utf16_files_are_refused(self):
        for bom in (b"\xff\xfe", b"\xfe\xff"):
            with self.subTest(bom=bom):
                text = bom + "127.0.0.1 localhost\r\n".encode("utf-16-le")
                self.box.write(text)
                for option in ("--install-dns", "--uninstall-dns"):
                    self.assertFailedUnchanged(self.box.run(option), text, b"UTF-16")


class ConcurrencyTest(ToolTestCase):
    def squat(self):
        """What any user can do to the runs' locks, started in the background:
        hold the locks earlier builds took (flock on the folder and the file;
        the mutex name) and, on Windows, open the lock file for its attributes.
        None where this machine cannot play another user."""
        if ARGS.mode == "system":
            command = windows_command([ARGS.peer, "squat", ARGS.windows_etc, 60000])
        elif os.geteuid() == 0 and can_run("setpriv", "--reuid=65534", "true"):
            path = self.box.etc
            while path != os.path.dirname(self.box.tmp):
                os.chmod(path, 0o755)
                path = os.path.dirname(path)
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                       "flock", "-x", self.box.etc, "flock", "-x", self.box.hosts,
                       "sh", "-c", "echo ready; sleep 60"]
        else:
            return None
        # In a session of its own, so that stopping it stops all it started.
        proc = subprocess.Popen([str(c) for c in command], env=self.box.env(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                start_new_session=True)
        self.assertEqual(proc.stdout.readline().strip(), b"ready")
        return proc

    def test_simultaneous_runs_take_turns(self):
        # A VPN client reconnecting starts several at once: all succeed, and
        # the file ends as one of them left it; also while another user holds
        # whatever it can of the locks.
        self.box.write(AWKWARD)
        for round_ in range(6):
            with self.subTest(round=round_, squatted=round_ >= 3):
                squatter = self.squat() if round_ >= 3 else None
                if round_ >= 3 and squatter is None:
                    self.skipTest("needs root and setpriv to play another user")
                options = ["--install-dns", "--uninstall-dns"] * 4
                procs = [subprocess.Popen(self.box.command([o]), env=self.box.env(),
                                          cwd=self.box.tmp, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE) for o in options]
                for proc in procs:
                    proc.stdout, proc.stderr = proc.communicate(timeout=120)
                results = [checked(p, options[i]) for i, p in enumerate(procs)]
                self.assertEqual([r.status for r in results], [0] * 8, [r.err for r in results])
                self.assertEqual([r.out + r.err for r in results], [b""] * 8)
                if squatter:
                    if os.name == "nt":
                        squatter.kill()
                    else:
                        os.killpg(squatter.pid, signal.SIGKILL)
                    squatter.communicate()
                self.assertIn(self.box.read(), (AWKWARD_KEPT, AWKWARD_KEPT + MANAGED_TAIL))
                self.assertEqual(self.box.leftovers(), [])

    @native_only
    def test_other_programs_writing_meanwhile_lose_nothing(self):
        # An editor that appends a numbered line every 2 ms, and one that
        # replaces the file by rename with a line more each time, beside runs
        # that alternate install and uninstall: every line they wrote is in
        # the file at the end. A run may give up on a file that keeps
        # changing, with -1 and the file as it was.
        count = 1500
        writers = {
            "appends": "with open(hosts, 'ab') as f: f.write(line)",
            "replaces by rename": (
                "data = open(hosts, 'rb').read()\n"
                "    with open(hosts + '.editor', 'wb') as f: f.write(data + line)\n"
                "    os.replace(hosts + '.editor', hosts)"),
        }
        for name, write in writers.items():
            with self.subTest(editor=name):
                self.box.write(AWKWARD)
                script = ("import os, sys, time\nhosts = sys.argv[1]\n"
                          f"for i in range({count}):\n"
                          "    line = b'10.0.0.1 line%d.example\\n' % i\n"
                          f"    {write}\n"
                          "    time.sleep(0.002)\n")
                editor = subprocess.Popen([sys.executable, "-c", script, self.box.hosts])
                runs = 0
                while editor.poll() is None:
                    result = self.box.run("--install-dns" if runs % 2 else "--uninstall-dns")
                    runs += 1
                    if result.status != 0:
                        self.assertIn(b"kept changing", result.err)
                editor.wait()
                data = self.box.read()
                lost = [i for i in range(count) if b" line%d.example\r" % i not in data
                        and b" line%d.example\n" % i not in data]
                self.assertEqual(lost, [], f"{len(lost)} of {count} lines lost over {runs} runs")
                self.assertGreater(runs, 20)
                self.assertEqual(self.box.leftovers(), [])

    @native_only
    def test_killed_runs_leave_the_file_whole_and_nothing_behind(self):
        # A multi-megabyte file, and runs killed at random moments: the file is
        # always the old or the new one, and the next run that finishes
        # removes what the killed ones left.
        old = b"".join(b"0.0.0.0 host%07d.example\r\n" % i for i in range(200000)) + AWKWARD
        new = rewritten(old, True)
        self.box.write(old)
        random = __import__("random").Random(2026)
        for _ in range(100):
            proc = subprocess.Popen(self.box.command(["--install-dns"]), env=self.box.env(),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(random.uniform(0, 0.03))
            proc.kill()
            proc.wait()
            self.assertIn(self.box.read(), (old, new))
        self.assertSucceeded(self.box.run("--install-dns"))
        self.assertEqual(self.box.read(), new)
        # Killed at the flush of their temporary file, with the hosts file
        # another account's (a mounted Windows volume, a file someone gave
        # away): what they leave is the next run's to remove.
        with self.subTest(killed="at the first flush", owner=65534):
            if os.geteuid() != 0 or not can_run("strace", "-o", "/dev/null", "true"):
                self.skipTest("needs root and strace")
            os.chown(self.box.hosts, 65534, 65534)
            kill = ["env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null",
                    "-e", "trace=fsync", "-e", "inject=fsync:signal=SIGKILL:when=1"]
            for _ in range(3):
                proc = subprocess.run(kill + self.box.command(["--uninstall-dns"]),
                                      env=self.box.env(), stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
                self.assertEqual(self.box.read(), new, proc.returncode)
            self.assertLessEqual(len([n for n in self.box.leftovers() if TEMP_MARK in n]), 1)
            self.assertSucceeded(self.box.run("--uninstall-dns"))
            self.assertEqual(self.box.read(), rewritten(old, False))
            self.assertEqual(os.stat(self.box.hosts).st_uid, 65534)


class WindowsTest(ToolTestCase):
    """Windows sharing, attributes and other programs beside the tool."""

    def attrib(self, *args):
        proc = subprocess.run(windows_command(["cmd", "/c", "attrib"] + list(args) +
                                              [ARGS.windows_hosts]),
                              env=self.box.env(), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120)
        return proc.stdout.decode("latin-1")

    def peer(self, *args):
        """Starts the helper that plays another program; returns once it is ready."""
        proc = subprocess.Popen(windows_command([ARGS.peer] + [str(a) for a in args]),
                                env=self.box.env(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        line = proc.stdout.readline().strip()
        if line != b"ready":
            proc.kill()
            self.fail(f"peer {args}: {line} {proc.communicate()[1]}")
        return proc

    @staticmethod
    def stop(proc):
        proc.kill()
        proc.communicate()

    def assertPromise(self, result, before, install):
        """Either 0 and the new content computed from `before`, or -1 and `before`."""
        if result.status == 0:
            self.assertSucceeded(result)
            self.assertEqual(self.box.read(), rewritten(before, install))
        else:
            self.assertFailedUnchanged(result, before)

    @windows_only
    def test_hidden_and_system_file_keeps_its_attributes(self):
        self.box.write(AWKWARD)
        self.attrib("+h")
        self.attrib("+s")
        before = self.attrib()
        flags = before.split(ARGS.windows_hosts[:2])[0]
        self.assertIn("H", flags, before)
        self.assertIn("S", flags, before)
        self.assertSucceeded(self.box.run("--install-dns"))
        self.assertEqual(self.box.read(), AWKWARD_KEPT + MANAGED_TAIL)
        self.assertEqual(self.attrib(), before)

    @windows_only
    def test_waits_for_a_program_that_holds_the_file(self):
        # A reader that does not share deleting keeps the file from being
        # replaced, a writer keeps it from being read; for a second the tool
        # waits, for longer it gives up and leaves the file as it is. A file
        # that already is what was asked for is not replaced, so a reader
        # costs it nothing. A user who holds the folder, sharing nothing,
        # costs a run nothing either: the file is still replaced, not
        # rewritten in place.
        installed = AWKWARD_KEPT + MANAGED_TAIL
        for mode, milliseconds, before, succeeds in (
                ("read", 1000, AWKWARD, True), ("write", 1000, AWKWARD, True),
                ("all", 1000, AWKWARD, True), ("read", 5000, AWKWARD, True),
                ("write", 6000, AWKWARD, False), ("read", 60000, installed, True),
                ("folder", 10000, AWKWARD, True)):
            with self.subTest(mode=mode, milliseconds=milliseconds, unchanged=before != AWKWARD):
                self.box.write(before)
                held = ARGS.windows_etc if mode == "folder" else ARGS.windows_hosts
                holder = self.peer("hold", held, mode, milliseconds)
                try:
                    files = [os.stat(self.box.hosts).st_ino]
                    started = time.monotonic()
                    result = self.box.run("--install-dns")
                    elapsed = time.monotonic() - started
                    files.append(os.stat(self.box.hosts).st_ino)
                    # While the folder is held, an uninstall too.
                    uninstalled = self.box.run("--uninstall-dns") if mode == "folder" else None
                    files.append(os.stat(self.box.hosts).st_ino)
                finally:
                    self.stop(holder)
                if mode == "folder":
                    # Each run put a new file in place (a freed inode's
                    # number may come back, two runs later).
                    self.assertNotEqual(files[0], files[1], "rewritten in place")
                    self.assertNotEqual(files[1], files[2], "rewritten in place")
                if succeeds:
                    self.assertSucceeded(result)
                    if uninstalled:
                        self.assertSucceeded(uninstalled)
                        self.assertEqual(self.box.read(), AWKWARD_KEPT)
                        continue
                    self.assertEqual(self.box.read(), installed)
                    # Nothing to replace: no waiting for the reader at all.
                    self.assertLess(elapsed, 10 if before == installed else milliseconds / 1000 + 10)
                else:
                    self.assertFailedUnchanged(result, AWKWARD,
                                               b"read: another program keeps the hosts file open")

    @windows_only
    def test_system_root_is_checked(self):
        # Started through the helper, which gives the tool a SystemRoot of
        # its own (Wine would set C:\windows).
        cases = [("", b"is empty"), ("windows", b"not an absolute path"),
                 ("C:windows", b"relative to a drive"), ("\\\\host\\share", b"network or device"),
                 ("\\\\?\\C:\\windows", b"network or device"),
                 ("C:\\users", b"is not the Windows directory"),
                 ("C:\\WINDOWS\\", None), ("c:\\windows", None), ("-unset", MESSAGE)]
        for value, says in cases:
            with self.subTest(value=value):
                self.box.write(AWKWARD)
                command = ["systemroot", value, ARGS.tool, "--install-dns"]
                proc = subprocess.run(windows_command([ARGS.peer] + command), env=self.box.env(),
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
                result = checked(proc, command)
                if says is None:
                    self.assertSucceeded(result)
                    self.assertEqual(self.box.read(), AWKWARD_KEPT + MANAGED_TAIL)
                elif says == MESSAGE:
                    self.assertEqual((result.status, result.out, result.err),
                                     (FAILURE_STATUS, MESSAGE + b"\r\n", b""))
                    self.assertEqual(self.box.read(), AWKWARD)
                else:
                    self.assertFailedUnchanged(result, AWKWARD, b"SystemRoot", says)

    @windows_only
    def test_scanners_and_editors_never_cost_the_file(self):
        for run in range(30):
            with self.subTest(scanner_run=run):
                self.box.write(AWKWARD)
                scanner = self.peer("scan", ARGS.windows_etc, 20000, [50, 200, 500][run % 3])
                try:
                    install = run % 2 == 0
                    result = self.box.run("--install-dns" if install else "--uninstall-dns")
                finally:
                    self.stop(scanner)
                self.assertPromise(result, AWKWARD, install)
        appended = b"10.9.8.7\tappended.by.an.editor\r\n"
        for delay in (0, 5, 10, 20, 30, 40, 60, 80, 100, 120, 140, 150):
            with self.subTest(editor_delay=delay):
                self.box.write(AWKWARD_KEPT)
                editor = self.peer("append", ARGS.windows_hosts, delay)
                result = self.box.run("--install-dns")
                editor.communicate(timeout=60)
                self.assertEqual(editor.returncode, 0)
                # The editor's line is never lost.
                self.assertPromise(result, AWKWARD_KEPT + appended, True)
        self.assertSucceeded(self.box.run("--uninstall-dns"))
        self.assertEqual(self.box.leftovers(), [])


class StatusCanary(unittest.TestCase):
    """Run alone with --canary: a case that must fail, so that the runner
    that started the suite shows whether a failure reaches it."""

    @only_in("canary")
    def test_this_case_fails(self):
        self.fail("the canary fails by design")


DISPOSABLE = "HOSTS_E2E_DISPOSABLE_MACHINE"
SKIPPED_STATUS = 77  # what ctest's SKIP_RETURN_CODE is set to


def locate_system_hosts():
    """The machine's own hosts folder: as Python sees it, and as Windows names it."""
    if ARGS.wine:
        ARGS.wineprefix = os.path.abspath(ARGS.wineprefix)
        ARGS.etc = os.path.join(ARGS.wineprefix, "drive_c", "windows", "system32", "drivers",
                                "etc")
        ARGS.windows_etc = "C:\\windows\\system32\\drivers\\etc"
    else:
        ARGS.etc = os.path.join(os.environ["SystemRoot"], "System32", "drivers", "etc")
        ARGS.windows_etc = ARGS.etc
    ARGS.windows_hosts = ARGS.windows_etc + "\\hosts"


class SavedHostsFile:
    """The machine's own hosts file, out of the cases' way: renamed aside in
    its folder before the first case and renamed back after the last, so
    that it is never written, deleted or made anew. It keeps its bytes, its
    file ID and every name (the component store's among them), its
    attributes, owner, group and DACL; when it is back each of them is
    checked against what it was. The cases work on files of their own at
    the hosts name, which are deleted between them."""

    def __init__(self):
        self.path = os.path.join(ARGS.etc, "hosts")
        self.aside = os.path.join(ARGS.etc, SET_ASIDE_NAME)
        if os.path.lexists(self.aside):
            raise RuntimeError(f"{self.aside} is there: an earlier run stopped before it put the "
                               f"machine's hosts file back; rename it to hosts first")
        with open(self.path, "rb") as f:
            self.data = f.read()
        self.lock_was_there = os.path.exists(os.path.join(ARGS.etc, LOCK_NAME))
        self.security = self.descriptor()
        self.identity, self.names = self.identify()
        self.rename(self.path, self.aside)
        print(f"set aside {self.path} as {SET_ASIDE_NAME}: {len(self.data)} bytes, "
              f"{self.identity}, {self.security}; names: {self.names or 'not listed here'}")

    @staticmethod
    def rename(source, target):
        """A rename that waits out, for up to five seconds, a program that
        has the file open without sharing deletes (the DNS Client reading it,
        say)."""
        for attempt in range(20):
            try:
                return os.replace(source, target)
            except PermissionError:
                if attempt == 19:
                    raise
                time.sleep(0.25)

    @staticmethod
    def peer(*args):
        proc = subprocess.run(windows_command([ARGS.peer] + list(args)),
                              env=dict(os.environ, WINEPREFIX=ARGS.wineprefix or "",
                                       WINEDEBUG="-all"),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        if proc.returncode != 0:
            raise RuntimeError(f"peer {' '.join(args)}: {proc.stdout!r} {proc.stderr!r}")
        return proc.stdout.decode().splitlines()

    def descriptor(self):
        return self.peer("security", ARGS.windows_hosts)[0].strip()

    def identify(self):
        """The file's volume and ID, link count and attributes, as Windows
        gives them, and its names where Windows can list them."""
        lines = self.peer("identity", ARGS.windows_hosts)
        return lines[0].strip(), sorted(l[5:].strip() for l in lines[1:] if l.startswith("name "))

    def store_name(self):
        """The file's second name in the component store, as a path here, or None."""
        for name in self.names:
            if "\\winsxs\\" in name.lower():
                return os.path.splitdrive(ARGS.etc)[0] + name
        return None

    def restore(self):
        for name in os.listdir(ARGS.etc):
            if name != "hosts" and (name.startswith("hosts" + TEMP_MARK) or
                                    name.startswith("hosts.other") or
                                    (name == LOCK_NAME and not self.lock_was_there)):
                os.unlink(os.path.join(ARGS.etc, name))
        if os.path.isdir(self.path) and not os.path.islink(self.path):
            shutil.rmtree(self.path)
        elif os.path.lexists(self.path):
            if not os.path.islink(self.path):
                os.chmod(self.path, 0o644)
            os.unlink(self.path)
        if not os.path.lexists(self.aside):
            # Not to be: the file lost its set-aside name. Its bytes and
            # security at least go back, in a new file.
            print(f"{self.aside} is gone: the hosts file is written anew")
            with open(self.path, "wb") as f:
                f.write(self.data)
            self.peer("security", ARGS.windows_hosts, self.security)
        else:
            self.rename(self.aside, self.path)
        with open(self.path, "rb") as f:
            same = f.read() == self.data
        now = self.descriptor(), *self.identify()
        checks = [("bytes", same), ("security", now[0] == self.security),
                  ("file ID, links and attributes", now[1] == self.identity),
                  ("names", now[2] == self.names)]
        print(f"put back {self.path}: " + ", ".join(
            f"{what} {'the same' if ok else 'DIFFER'}" for what, ok in checks) +
            ("" if all(ok for _, ok in checks) else f" (now {now})"))
        return all(ok for _, ok in checks)


class Tee:
    """A stream that writes to each of `streams`, flushing as it goes."""

    def __init__(self, *streams):
        self.streams = streams

    def write(self, text):
        for stream in self.streams:
            stream.write(text)
            stream.flush()

    def flush(self):
        for stream in self.streams:
            stream.flush()


SAVED = None


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--canary", action="store_true",
                        help="run only a case that fails, to check that failures are reported")
    parser.add_argument("--tool", required=True)
    parser.add_argument("--mode", choices=("native", "system"), default="native")
    parser.add_argument("--alias", required=True, help="the build's local alias host name")
    parser.add_argument("--service", required=True, help="the build's service host name")
    parser.add_argument("--wine", help="Wine's launcher, to run the Windows build under Wine")
    parser.add_argument("--wineprefix", help="the Wine prefix whose hosts file is used")
    parser.add_argument("--peer", help="the Windows helper that plays other programs")
    ARGS, rest = parser.parse_known_args()
    ARGS.tool = os.path.abspath(ARGS.tool)
    set_host_names(ARGS.alias, ARGS.service)
    global FAILURE_STATUS
    FAILURE_STATUS = 0xFFFFFFFF if os.name == "nt" else 255
    if os.environ.get("HOSTS_E2E_REPORT"):
        report = open(os.environ["HOSTS_E2E_REPORT"], "w")
        sys.stdout, sys.stderr = Tee(sys.stdout, report), Tee(sys.stderr, report)
    os.umask(UMASK)
    saved = None
    if ARGS.mode == "system" and not ARGS.canary:
        if os.environ.get(DISPOSABLE) != "1":
            print(f"skipped: the system mode changes this machine's own hosts file; set "
                  f"{DISPOSABLE}=1 where the machine may be used so")
            sys.exit(SKIPPED_STATUS)
        locate_system_hosts()
        global SAVED
        saved = SAVED = SavedHostsFile()
    if ARGS.canary:
        rest = ["StatusCanary"]
    try:
        program = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False)
    finally:
        restored = saved.restore() if saved else True
    result = program.result
    # A case counts once, however many of its subtests failed or were skipped.
    def cases(outcomes):
        return {getattr(case, "test_case", case).id() for case, _ in outcomes}
    failed = cases(result.failures + result.errors)
    print(f"{result.testsRun - len(failed)} passed, {len(failed)} failed, "
          f"{len(result.skipped)} skipped")
    for case, reason in result.skipped:
        print(f"skipped: {case.id()}: {reason}")
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 and restored else 1)


if __name__ == "__main__":
    main()
