#!/bin/sh
# Builds hosts_entry_tool and runs it on a sandbox hosts file: install, then
# uninstall, showing the file after each step (^M marks a carriage return).
# Nothing outside a temporary directory is touched.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-packages.sh cmake ninja-build g++
cmake --preset native >/dev/null
cmake --build --preset native --target hosts_entry_tool >/dev/null
tool=$PWD/build/native/app/hosts_entry_tool

sandbox=$(mktemp -d)
trap 'rm -rf "$sandbox"' EXIT
etc="$sandbox/Windows/System32/drivers/etc"
mkdir -p "$etc"
printf '# A sandbox hosts file\n127.0.0.1 localhost\n0.0.0.0 ads.example\n' > "$etc/hosts"

run() {
  status=0
  SystemRoot="$sandbox/Windows" "$tool" "$1" || status=$?
  echo "== after hosts_entry_tool $1: exit status $status =="
  cat -v "$etc/hosts"
  echo
}
echo "== $etc/hosts before =="
cat -v "$etc/hosts"
echo
run --install-dns
run --uninstall-dns
