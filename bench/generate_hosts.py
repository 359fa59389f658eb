#!/usr/bin/env python3
"""Writes a hosts file shaped like an ad-blocking list, for benchmarks.

  generate_hosts.py --lines N [--lf] [--seed S] OUTPUT

A comment header and a localhost block, then N lines of "0.0.0.0 domain"
with occasional section comments, inline comments, blank lines and
multi-name lines, and a few of the tool's managed lines scattered in (some
with a tab, some with spaces). CRLF line ends unless --lf. The same seed
gives the same file.
"""

import argparse
import random

SYLLABLES = ["ad", "track", "stat", "pix", "cdn", "log", "met", "ric", "sync", "beac",
             "on", "srv", "img", "tag", "click", "bid", "rtb", "xyz", "net", "data",
             "pro", "go", "lab", "hub", "cast", "view", "count", "link", "zone", "max"]
TLDS = ["com", "net", "org", "io", "info", "biz", "co", "de", "ru", "cn"]
MANAGED = ["127.0.0.1\tvpn.localhost", "127.0.0.1   client.vpn.example",
           "127.0.0.1 vpn.localhost # added by hand", "  127.0.0.1\tclient.vpn.example"]


def domain(rng):
    labels = []
    for _ in range(rng.choice((1, 2, 2, 3))):
        labels.append("".join(rng.choice(SYLLABLES) for _ in range(rng.randint(1, 3))) +
                      (str(rng.randint(0, 999)) if rng.random() < 0.3 else ""))
    return ".".join(labels) + "." + rng.choice(TLDS)


def generate(lines, seed):
    rng = random.Random(seed)
    out = ["# Title: generated ad-blocking hosts list", f"# Seed: {seed}, lines: {lines}",
           "#", "# This file blocks advertising and tracking domains.", "",
           "127.0.0.1 localhost", "127.0.0.1 localhost.localdomain", "255.255.255.255 broadcasthost",
           "::1 localhost", "fe80::1%lo0 localhost", "0.0.0.0 0.0.0.0", ""]
    managed_at = set(rng.sample(range(lines), min(len(MANAGED) * 2, lines)))
    for i in range(lines):
        if i in managed_at:
            out.append(rng.choice(MANAGED))
            continue
        r = rng.random()
        if r < 0.002:
            out.append(f"# [section {i}] {domain(rng)}")
        elif r < 0.003:
            out.append("")
        elif r < 0.008:
            out.append("0.0.0.0 " + " ".join(domain(rng) for _ in range(rng.randint(2, 4))))
        elif r < 0.018:
            out.append(f"0.0.0.0 {domain(rng)} # {rng.choice(SYLLABLES)} tracker")
        else:
            out.append("0.0.0.0 " + domain(rng))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--lines", type=int, required=True)
    parser.add_argument("--lf", action="store_true", help="LF line ends instead of CRLF")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("output")
    args = parser.parse_args()
    end = "\n" if args.lf else "\r\n"
    with open(args.output, "w", newline="", encoding="ascii") as f:
        f.write(end.join(generate(args.lines, args.seed)) + end)


if __name__ == "__main__":
    main()
