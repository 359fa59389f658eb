#!/usr/bin/env python3
"""Times hosts_entry_tool against the I/O floor and two general-purpose hosts
editors on large generated hosts files, and prints one table.

Every run works on a fresh scratch copy. The editors are started as their
users start them; `hostile` has no path option, so it runs in a private mount
namespace with the scratch file bind-mounted over /etc/hosts. The real
/etc/hosts is checked to be unchanged at the end.

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
# What a replace costs at the least: write a copy, flush it, rename it over
# the file and flush the folder.
REPLACE_FLOOR = "floor (copy, flush, rename, flush folder)"
# An install on a file that already holds the entries.
AGAIN = "install, nothing to change"


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="hosts_bench_", dir=os.path.abspath(args.work))
        self.root = os.path.join(self.work, "Windows")
        self.etc = os.path.join(self.root, "System32", "drivers", "etc")
        os.makedirs(self.etc)
        self.hosts = os.path.join(self.etc, "hosts")
        self.copy = os.path.join(self.work, "floor_copy")
        self.rss_file = os.path.join(self.work, "rss")
        self.entries = os.path.join(self.work, "entries")
        with open(self.entries, "w") as f:
            f.write(ENTRIES)

    def commands(self, tool, op):
        timed = ["/usr/bin/time", "-f", "%M", "-o", self.rss_file]
        if tool == "hosts_entry_tool":
            option = "--uninstall-dns" if op == "uninstall" else "--install-dns"
            return [timed + ["env", "SystemRoot=" + self.root, self.args.tool, option]]
        if tool == "floor (cp + fsync)":
            return [timed + ["sh", "-c", 'cp "$0" "$1" && sync "$1"', self.hosts, self.copy]]
        if tool == REPLACE_FLOOR:
            return [timed + ["sh", "-c", 'cp "$0" "$0.new" && sync "$0.new" && mv "$0.new" "$0" && '
                             'sync "$(dirname "$0")"', self.hosts]]
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

    def run_once(self, source, tool, op):
        shutil.copyfile(source, self.hosts)
        if os.path.exists(self.copy):
            os.unlink(self.copy)
        subprocess.run(["sync"], check=True)
        wall = 0.0
        rss = 0
        for command in self.commands(tool, op):
            start = time.perf_counter()
            proc = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            wall += time.perf_counter() - start
            if proc.returncode != 0:
                sys.exit(f"{tool} {op} failed ({proc.returncode}): {proc.stderr.decode()[-500:]}")
            with open(self.rss_file) as f:
                rss = max(rss, int(f.read().split()[-1]))
        return wall, rss * 1024

    def measure(self, source, tool, op, runs):
        samples = [self.run_once(source, tool, op) for _ in range(runs)]
        return (statistics.median(s[0] for s in samples),
                statistics.median(s[1] for s in samples))

    def installed(self, source):
        """A copy of `source` with the entries installed by the tool."""
        path = os.path.join(self.work, "installed")
        shutil.copyfile(source, self.hosts)
        subprocess.run(["env", "SystemRoot=" + self.root, self.args.tool, "--install-dns"],
                       check=True)
        shutil.copyfile(self.hosts, path)
        return path

    def cleanup(self):
        shutil.rmtree(self.work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True, help="the Release hosts_entry_tool")
    parser.add_argument("--hostile", required=True, help="hostile's bin/cmd.js")
    parser.add_argument("--work", required=True, help="directory for scratch files")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--peer-runs", type=int, default=3)
    parser.add_argument("files", nargs="+", help="LABEL=PATH of the hosts files to use")
    args = parser.parse_args()

    etc_hosts_before = sha256("/etc/hosts")
    bench = Bench(args)
    tools = ["hosts_entry_tool", "floor (cp + fsync)", "hostsed", "hostile (set x2)",
             "hostile (load)"]
    rows = []
    again_rows = []
    try:
        for file_arg in args.files:
            label, path = file_arg.split("=", 1)
            size = os.path.getsize(path)
            for op in ("install", "uninstall"):
                results = {}
                for tool in tools:
                    runs = args.runs if tool in tools[:2] else args.peer_runs
                    results[tool] = bench.measure(path, tool, op, runs)
                    print(f"  {label} {op} {tool}: {results[tool][0]:.3f} s, "
                          f"{results[tool][1] / 2**20:.1f} MB", file=sys.stderr)
                rows.append((label, size, op, results))
            # The same file once installed, installed again: nothing is written.
            installed = bench.installed(path)
            again = {tool: bench.measure(installed, tool, AGAIN, args.runs)
                     for tool in ("hosts_entry_tool", REPLACE_FLOOR)}
            again_rows.append((label, size, again))
    finally:
        bench.cleanup()
    if sha256("/etc/hosts") != etc_hosts_before:
        sys.exit("/etc/hosts changed during the benchmark")

    ours_key, floor_key = tools[0], tools[1]
    print("| file | command | tool | median wall | peak RSS | wall / floor | wall / ours |")
    print("|---|---|---|---:|---:|---:|---:|")
    for label, size, op, results in rows:
        ours, floor = results[ours_key][0], results[floor_key][0]
        for tool in tools:
            wall, rss = results[tool]
            print(f"| {label} ({size / 1e6:.1f} MB) | {op} | {tool} | {wall * 1000:.0f} ms | "
                  f"{rss / 2**20:.1f} MB | {wall / floor:.2f} | {wall / ours:.1f} |")
    print()
    print("Targets on the largest file: wall <= 1.5 x floor, peak RSS <= file size + 8 MB, "
          "every peer >= 50 x slower.")
    label, size, _, _ = rows[-1]
    for _, s, op, results in rows[-2:]:
        ours, rss = results[ours_key]
        print(f"  {label} {op}: wall / floor {ours / results[floor_key][0]:.2f}; "
              f"RSS {rss / 2**20:.1f} MB vs limit {(s + 8 * 2**20) / 2**20:.1f} MB; "
              + ", ".join(f"{tool} {results[tool][0] / ours:.0f}x" for tool in tools[2:])
              + " slower")
    print()
    print("| file | command | tool | median wall | peak RSS | wall / replace floor |")
    print("|---|---|---|---:|---:|---:|")
    for label, size, results in again_rows:
        floor = results[REPLACE_FLOOR][0]
        for tool, (wall, rss) in results.items():
            print(f"| {label} ({size / 1e6:.1f} MB) | {AGAIN} | {tool} | {wall * 1000:.0f} ms | "
                  f"{rss / 2**20:.1f} MB | {wall / floor:.2f} |")
    print("/etc/hosts unchanged.")


if __name__ == "__main__":
    main()
