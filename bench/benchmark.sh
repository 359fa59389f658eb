#!/bin/sh
# Benchmarks hosts_entry_tool (Release) against the I/O floor and two
# general-purpose hosts editors on generated 100k- and 1M-line CRLF hosts
# files, and prints one table. Installs what is missing; runs as root (the
# hostile runs need a private mount namespace). Takes a few minutes; not part
# of the test run. Scratch files live under build/bench.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-packages.sh cmake ninja-build g++ libbenchmark-dev python3 time \
  util-linux hostsed
command -v npm >/dev/null || sh scripts/install-packages.sh nodejs npm

cmake --preset release >/dev/null
cmake --build --preset release >/dev/null

bench=build/bench
mkdir -p "$bench"
if [ ! -f "$bench/peers/node_modules/hostile/bin/cmd.js" ]; then
  npm install --silent --no-audit --no-fund --prefix "$bench/peers" hostile@1.4.0
fi
for lines in 100000 1000000; do
  [ -f "$bench/hosts_$lines.crlf" ] ||
    python3 bench/generate_hosts.py --lines "$lines" --seed 1 "$bench/hosts_$lines.crlf"
done

echo "transform alone:"
build/release/bench/transform_benchmark --benchmark_filter=crlf/1000000
echo
python3 bench/run_benchmark.py --tool build/release/app/hosts_entry_tool \
  --hostile "$bench/peers/node_modules/hostile/bin/cmd.js" --work "$bench" \
  "100k lines=$bench/hosts_100000.crlf" "1M lines=$bench/hosts_1000000.crlf"
