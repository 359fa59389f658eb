#!/usr/bin/env python3
"""Times hosts_entry_tool against the least a crash-safe replace must do and
against two general-purpose hosts editors, on large generated hosts files,
and prints the results as Markdown tables.

Every run works on a fresh scratch copy of the file, and every timed run is
paired with a run of the floor program on its own fresh copy right after it,
so that the ratios hold while other work loads the machine: a row's
"wall / floor" is the median of its pairs' ratios. The floor
(bench/replace_floor.c) reads the file, writes a copy beside it, flushes the
copy, renames it over the file and flushes the folder; on Linux it asks for
the copy to be written out as it goes, as the tool does.

The Windows build runs under Wine on the private prefix's own hosts file,
paired the same way with the Win32 floor (ReadFile, WriteFile,
FlushFileBuffers, MoveFileExW with MOVEFILE_REPLACE_EXISTING |
MOVEFILE_WRITE_THROUGH, and FlushFileBuffers of the file under its new name,
without which Wine does not make the rename last). The editors are started
as their users start them; `hostile` has no path option, so it runs in a
private mount namespace with the scratch file bind-mounted over /etc/hosts.
The real /etc/hosts is checked to be unchanged at the end.

Run through bench/benchmark.sh, which builds and installs what this needs.
"""

import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ENTRIES = "127.0.0.1 vpn.localhost\n127.0.0.1 client.vpn.example\n"
OURS = "hosts_entry_tool"
FLOOR = "floor (read, write a copy, fsync, rename, fsync folder)"
PEERS = ["hostsed", "hostile (set x2)", "hostile (load)"]
WIN_OURS = "hosts_entry_tool.exe"
WIN_FLOOR = "Win32 floor (ReadFile, WriteFile, FlushFileBuffers, MoveFileExW, FlushFileBuffers)"


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def fingerprint(path):
    """What must not change when nothing is written: the bytes, the file
    itself, its times, and the names in its folder (but the tool's lock,
    which stays under Wine, where it cannot be deleted while held)."""
    st = os.stat(path)
    names = [n for n in os.listdir(os.path.dirname(path)) if n != "hosts_entry_tool.lock"]
    return (sha256(path), st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns, sorted(names))


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="hosts_bench_", dir=os.path.abspath(args.work))
        self.root = os.path.join(self.work, "Windows")
        etc = os.path.join(self.root, "System32", "drivers", "etc")
        os.makedirs(etc)
        self.hosts = os.path.join(etc, "hosts")
        self.rss_file = os.path.join(self.work, "rss")
        self.entries = os.path.join(self.work, "entries")
        with open(self.entries, "w") as f:
            f.write(ENTRIES)
        if args.wine:
            self.wine_env = dict(os.environ, WINEPREFIX=args.wineprefix, WINEDEBUG="-all",
                                 WINEDLLOVERRIDES="mscoree,mshtml=")
            self.wine_env.pop("SystemRoot", None)
            self.wine_hosts = os.path.join(args.wineprefix, "drive_c", "windows", "system32",
                                           "drivers", "etc", "hosts")

    def commands(self, tool, op):
        """The commands of one run, each started as its users start it."""
        timed = ["/usr/bin/time", "-f", "%M", "-o", self.rss_file]
        option = "--uninstall-dns" if op == "uninstall" else "--install-dns"
        if tool == OURS:
            return [timed + ["env", "SystemRoot=" + self.root, self.args.tool, option]]
        if tool == FLOOR:
            return [timed + [self.args.floor, self.hosts]]
        if tool == WIN_OURS:
            return [timed + [self.args.wine, self.args.exe, option]]
        if tool == WIN_FLOOR:
            return [timed + [self.args.wine, self.args.floor_exe,
                             "C:\\windows\\system32\\drivers\\etc\\hosts"]]
        if tool == "hostsed":
            if op == "install":
                return [timed + ["hostsed", "-f", self.hosts, "add", "127.0.0.1",
                                 "vpn.localhost", "client.vpn.example"]]
            return [timed + ["hostsed", "-f", self.hosts, "rm", "127.0.0.1", name]
                    for name in ("vpn.localhost", "client.vpn.example")]
        if tool.startswith("hostile"):
            # One namespace per call, the scratch file mounted over /etc/hosts.
            namespace = ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec "$@"',
                         self.hosts]
            hostile = namespace + timed + ["node", self.args.hostile]
            if tool == "hostile (load)":
                return [hostile + ["load" if op == "install" else "unload", self.entries]]
            if op == "install":
                return [hostile + ["set", "127.0.0.1", name]
                        for name in ("vpn.localhost", "client.vpn.example")]
            return [hostile + ["remove", name] for name in ("vpn.localhost", "client.vpn.example")]
        raise ValueError(tool)

    def run_once(self, source, tool, op, untouched=False):
        """One run on a fresh copy of `source`: its wall time and peak RSS.
        With `untouched`, the run must leave the file exactly as it was."""
        windows = tool in (WIN_OURS, WIN_FLOOR)
        hosts = self.wine_hosts if windows else self.hosts
        shutil.copyfile(source, hosts)
        subprocess.run(["sync"], check=True)
        before = fingerprint(hosts) if untouched else None
        wall = 0.0
        rss = 0
        for command in self.commands(tool, op):
            start = time.perf_counter()
            proc = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                  env=self.wine_env if windows else None)
            wall += time.perf_counter() - start
            if proc.returncode != 0:
                sys.exit(f"{tool} {op} failed ({proc.returncode}): {proc.stderr.decode()[-500:]}")
            with open(self.rss_file) as f:
                rss = max(rss, int(f.read().split()[-1]))
        if untouched and fingerprint(hosts) != before:
            sys.exit(f"{tool} {op}: the file or its folder changed, though nothing was to change")
        return wall, rss * 1024

    def pairs(self, source, tool, floor, op, runs, untouched=False):
        """`runs` runs of `tool`, each followed by one of `floor`."""
        ours, floors = [], []
        for _ in range(runs):
            ours.append(self.run_once(source, tool, op, untouched))
            floors.append(self.run_once(source, floor, op))
        return {
            "wall": statistics.median(w for w, _ in ours),
            "rss": statistics.median(r for _, r in ours),
            "floor wall": statistics.median(w for w, _ in floors),
            "floor rss": statistics.median(r for _, r in floors),
            "ratio": statistics.median(a[0] / b[0] for a, b in zip(ours, floors)),
        }

    def prepared(self, source, name, option):
        """A copy of `source` after one run of the tool with `option`."""
        path = os.path.join(self.work, name)
        shutil.copyfile(source, self.hosts)
        subprocess.run(["env", "SystemRoot=" + self.root, self.args.tool, option], check=True)
        shutil.copyfile(self.hosts, path)
        return path

    def cleanup(self):
        shutil.rmtree(self.work, ignore_errors=True)


def megabytes(size):
    return f"{size / 1e6:.1f} MB"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True, help="the Release hosts_entry_tool")
    parser.add_argument("--floor", required=True, help="the floor program, bench/replace_floor.c")
    parser.add_argument("--hostile", required=True, help="hostile's bin/cmd.js")
    parser.add_argument("--wine", help="Wine's launcher, to time the Windows build")
    parser.add_argument("--wineprefix", help="the running Wine prefix whose hosts file is used")
    parser.add_argument("--exe", help="the Windows build, hosts_entry_tool.exe")
    parser.add_argument("--floor-exe", help="the Win32 floor program")
    parser.add_argument("--work", required=True, help="directory for scratch files")
    parser.add_argument("--runs", type=int, default=31, help="pairs per row of this tool")
    parser.add_argument("--peer-runs", type=int, default=3, help="pairs per row of an editor")
    parser.add_argument("files", nargs="+", help="LABEL=PATH of the hosts files to use")
    args = parser.parse_args()

    etc_hosts_before = sha256("/etc/hosts")
    bench = Bench(args)
    rows, other_rows, wine_rows = [], [], []
    try:
        for file_arg in args.files:
            label, path = file_arg.split("=", 1)
            name = f"{label} ({megabytes(os.path.getsize(path))})"
            for op in ("install", "uninstall"):
                results = {OURS: bench.pairs(path, OURS, FLOOR, op, args.runs)}
                for peer in PEERS:
                    results[peer] = bench.pairs(path, peer, FLOOR, op, args.peer_runs)
                for tool, r in results.items():
                    print(f"  {name} {op} {tool}: {r['wall'] * 1000:.0f} ms, "
                          f"{r['ratio']:.2f} x floor", file=sys.stderr)
                rows.append((name, op, results))
            # The same file once installed, and once uninstalled.
            installed = bench.prepared(path, "installed", "--install-dns")
            clean = bench.prepared(path, "uninstalled", "--uninstall-dns")
            for what, source, op, untouched in (
                    ("install, nothing to change", installed, "install", True),
                    ("install on the file without the entries", clean, "install", False),
                    ("uninstall of the file as installed", installed, "uninstall", False)):
                r = bench.pairs(source, OURS, FLOOR, op, args.runs, untouched)
                print(f"  {name} {what}: {r['ratio']:.2f} x floor", file=sys.stderr)
                other_rows.append((name, what, r, untouched))
            if args.wine:
                for what, source, op in (("install", path, "install"),
                                         ("uninstall", path, "uninstall"),
                                         ("install, nothing to change", installed, "install")):
                    r = bench.pairs(source, WIN_OURS, WIN_FLOOR, op, args.runs,
                                    what.endswith("nothing to change"))
                    print(f"  {name} Wine {what}: {r['ratio']:.2f} x floor", file=sys.stderr)
                    wine_rows.append((name, what, r))
    finally:
        bench.cleanup()
    if sha256("/etc/hosts") != etc_hosts_before:
        sys.exit("/etc/hosts changed during the benchmark")

    print(f"Linux, Release build; each row's runs paired with the floor's "
          f"({args.runs} pairs for this tool, {args.peer_runs} for each editor):")
    print()
    print("| file | command | tool | median wall | peak RSS | wall / floor | wall / ours |")
    print("|---|---|---|---:|---:|---:|---:|")
    for name, op, results in rows:
        ours = results[OURS]
        line = [(OURS, ours["wall"], ours["rss"], ours["ratio"]),
                (FLOOR, ours["floor wall"], ours["floor rss"], 1.0)]
        line += [(peer, results[peer]["wall"], results[peer]["rss"], results[peer]["ratio"])
                 for peer in PEERS]
        for tool, wall, rss, ratio in line:
            print(f"| {name} | {op} | {tool} | {wall * 1000:.0f} ms | {rss / 2**20:.1f} MB | "
                  f"{ratio:.2f} | {wall / ours['wall']:.1f} |")
    print()
    print("The same files after an install (and the lines it appended), and after an "
          "uninstall; hosts_entry_tool paired with the floor:")
    print()
    print("| file | command | median wall | peak RSS | floor's median wall | wall / floor | "
          "file untouched |")
    print("|---|---|---:|---:|---:|---:|---|")
    for name, what, r, untouched in other_rows:
        print(f"| {name} | {what} | {r['wall'] * 1000:.0f} ms | {r['rss'] / 2**20:.1f} MB | "
              f"{r['floor wall'] * 1000:.0f} ms | {r['ratio']:.2f} | "
              f"{'yes, every run' if untouched else '(replaced)'} |")
    if wine_rows:
        print()
        print("The Windows build under Wine on the prefix's own hosts file, paired with the "
              "Win32 floor (peak RSS: the Wine process):")
        print()
        print("| file | command | .exe median wall | peak RSS | Win32 floor's median wall | "
              "wall / floor |")
        print("|---|---|---:|---:|---:|---:|")
        for name, what, r in wine_rows:
            print(f"| {name} | {what} | {r['wall'] * 1000:.0f} ms | {r['rss'] / 2**20:.1f} MB | "
                  f"{r['floor wall'] * 1000:.0f} ms | {r['ratio']:.2f} |")
    print()
    name = rows[-1][0]
    size = os.path.getsize(args.files[-1].split("=", 1)[1])
    checks = [f"{op} {results[OURS]['ratio']:.2f} (at most 1.25)" for _, op, results in rows[-2:]]
    checks += [f"{what} {r['ratio']:.2f} (at most 0.5)" for n, what, r, _ in other_rows
               if n == name and what.endswith("nothing to change")]
    checks += [f"Wine {what} {r['ratio']:.2f} (at most 1.3)" for n, what, r in wine_rows
               if n == name and what in ("install", "uninstall")]
    rss = max(results[OURS]["rss"] for _, _, results in rows[-2:])
    print(f"On {name}, wall / floor: " + "; ".join(checks) + f". Peak RSS {rss / 2**20:.1f} MB "
          f"(at most the file's size plus 8 MiB: {(size + 8 * 2**20) / 2**20:.1f} MB).")
    print("/etc/hosts unchanged.")


if __name__ == "__main__":
    main()
