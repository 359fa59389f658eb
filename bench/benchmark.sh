#!/bin/sh
# Benchmarks hosts_entry_tool, the Linux Release build and the Windows build
# under Wine, each against the least a crash-safe replace must do
# (bench/replace_floor.c, built for both), and against two general-purpose
# hosts editors, on generated 100k- and 1M-line CRLF hosts files; prints the
# tables in Markdown. Installs what is missing; runs as root (the hostile runs
# need a private mount namespace). Takes several minutes; not part of the test
# run. Scratch files, the builds it makes for itself and a private Wine prefix
# live under build/bench.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-packages.sh cmake ninja-build g++ libbenchmark-dev python3 time \
  util-linux hostsed mingw-w64 wine64 valgrind
command -v npm >/dev/null || sh scripts/install-packages.sh nodejs npm

bench=build/bench
mkdir -p "$bench"
echo "load before: $(uptime)"

# The Release tool and the transform benchmark; the Windows executable in a
# build directory of its own, without tests, so that the test builds stay as
# they are; the two floor programs.
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
cmake --preset windows -B "$bench/windows" -DHOSTS_BUILD_TESTS=OFF >/dev/null
cmake --build "$bench/windows" --target hosts_entry_tool >/dev/null
cc -O2 -Wall -Wextra -Werror -o "$bench/replace_floor" bench/replace_floor.c
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -municode -o "$bench/replace_floor.exe" \
  bench/replace_floor.c

if [ ! -f "$bench/peers/node_modules/hostile/bin/cmd.js" ]; then
  npm install --silent --no-audit --no-fund --prefix "$bench/peers" hostile@1.4.0
fi
for lines in 100000 1000000; do
  [ -f "$bench/hosts_$lines.crlf" ] ||
    python3 bench/generate_hosts.py --lines "$lines" --seed 1 "$bench/hosts_$lines.crlf"
done

# A private Wine prefix with one wineserver kept up for the run.
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
prefix=$(pwd)/$bench/wineprefix
sh tests/wine/wine_session.sh start "$prefix" "$wine" >/dev/null
trap 'sh tests/wine/wine_session.sh stop "$prefix" "$wine"' EXIT

echo "transform alone:"
build/release/bench/transform_benchmark --benchmark_filter='/1000000$'
echo
python3 bench/run_benchmark.py --tool build/release/app/hosts_entry_tool \
  --floor "$bench/replace_floor" --hostile "$bench/peers/node_modules/hostile/bin/cmd.js" \
  --wine "$wine" --wineprefix "$prefix" --exe "$bench/windows/app/hosts_entry_tool.exe" \
  --floor-exe "$bench/replace_floor.exe" --work "$bench" \
  "100k lines=$bench/hosts_100000.crlf" "1M lines=$bench/hosts_1000000.crlf"
echo
# One line of 16 MiB, then of 64 MiB, between a comment and a managed line:
# the work a run does grows with the line as the line does (instructions
# under callgrind, which do not move from run to run; and the wall time).
echo "one long line, uninstall:"
echo
echo "| line | instructions | wall |"
echo "|---|---:|---:|"
for mib in 16 64; do
  line="$bench/line_$mib"
  [ -f "$line" ] || python3 -c "import sys; sys.stdout.buffer.write(b'# a\\r\\n' + \
b'0' * ($mib << 20) + b'\\r\\n127.0.0.1 vpn.localhost\\r\\n')" > "$line"
  root="$(pwd)/$bench/line_box/Windows"
  box="$root/System32/drivers/etc"
  mkdir -p "$box"
  cp "$line" "$box/hosts"
  instructions=$(SystemRoot="$root" valgrind --tool=callgrind \
    --callgrind-out-file=/dev/null build/release/app/hosts_entry_tool --uninstall-dns 2>&1 |
    sed -n 's/.*Collected : //p')
  cp "$line" "$box/hosts"
  started=$(date +%s%N)
  SystemRoot="$root" build/release/app/hosts_entry_tool --uninstall-dns
  echo "| $mib MiB | $instructions | $(( ($(date +%s%N) - started) / 1000000 )) ms |"
done
echo
echo "load after: $(uptime)"
