#!/bin/sh
# The Windows unit tests (the facts about Windows among them) run under Wine
# a second time, the way the workflow's Windows job meets them on a hosted
# runner, as far as Wine can play it:
#   - TMP and TEMP on a short (8.3) name, as GetTempPath answers there
#     (C:\Users\RUNNER~1\AppData\Local\Temp): a long-named folder in the
#     prefix, spelled by Wine's own short name for it;
#   - the tests started from a folder of their own, on another drive than
#     the temporary folder (the runner's workspace is on D:, its TEMP on C:);
#   - one process per test, as ctest runs GoogleTest's tests there;
#   - the job's environment: HOSTS_FACTS_REPORT naming the facts report,
#     HOSTS_E2E_DISPOSABLE_MACHINE=1.
# Then it checks what came back: every test passed, the report names the
# short temporary folder and ends with every fact, and nothing is left in
# the temporary folder. The rehearsal stands in for the MSVC build only as
# far as both compile the same code, so it first checks that what the unit
# tests are built from has no branch on the compiler.
#   runner_rehearsal.sh WINE PROGRAM WORK_DIR SOURCE_DIR
# WINEPREFIX names the prefix, in which the session is running.
set -eu
wine=$1
program=$2
work=$3
source_dir=$4

fail() {
  printf 'runner rehearsal: %s\n' "$*" >&2
  exit 1
}

branches=$(cd "$source_dir" && grep -nE '_MSC_VER|__MINGW|__GNUC__|__clang__' \
  hosts/*.h hosts/*.cc app/command_table.* tests/*.h tests/*.cc || true)
[ -z "$branches" ] || fail "code that only one compiler builds, which this rehearsal cannot stand in for:
$branches"

# The runner's profile folder has a name too long for 8.3, as runneradmin is.
long='C:\users\runneradmin\AppData\Local\Temp'
temp_dir="$WINEPREFIX/drive_c/users/runneradmin/AppData/Local/Temp"
rm -rf "$temp_dir" "$work"
mkdir -p "$temp_dir" "$work/workspace"
short=$("$wine" winepath -s "$long" | tr -d '\r')
[ "$short" != "$long" ] || fail "Wine gives no short name for $long"
# Every part of the short spelling is 8.3, and at least one is a made-up one.
case $short in *~*) ;; *) fail "$short is not a short name" ;; esac
printf '%s\n' "${short#C:\\}" | tr '\\' '\n' | while read -r part; do
  printf '%s\n' "$part" | grep -qE '^[^.]{1,8}(\.[^.]{1,3})?$' || fail "$part in $short is not 8.3"
done

report="$work/workspace/windows-facts.txt"
report_w=$("$wine" winepath -w "$report" | tr -d '\r')
workspace_w=$("$wine" winepath -w "$work/workspace" | tr -d '\r')
program_w=$("$wine" winepath -w "$program" | tr -d '\r')
# Wine takes TEMP and TMP from the prefix's registry, not from the Linux
# environment: cmd sets them for the program it starts.
run() {
  (cd "$work/workspace" &&
    HOSTS_FACTS_REPORT="$report_w" HOSTS_E2E_DISPOSABLE_MACHINE=1 \
      "$wine" cmd /c "set TEMP=$short&& set TMP=$short&& $program_w $*")
}

tests=$(run --gtest_list_tests | tr -d '\r' | awk '
  /^[^ ]/ { suite = $1 } /^  [^ ]/ { print suite $1 }')
[ -n "$tests" ] || fail "$program lists no tests"
count=0
failed=
for test in $tests; do
  count=$((count + 1))
  if ! run "--gtest_filter=$test" >"$work/$test.log" 2>&1; then
    cat "$work/$test.log"
    failed="$failed $test"
  fi
done
[ -z "$failed" ] || fail "failed, with TEMP=$short:$failed"

[ -f "$report" ] || fail "no facts report at $report"
tr -d '\r' <"$report" >"$work/report.txt"  # written with CR LF line ends
report="$work/report.txt"
grep -qxF "temporary folder: $short\\" "$report" ||
  fail "the report does not name the temporary folder $short\\: $(grep '^temporary' "$report")"
grep -qxF "current folder: $workspace_w" "$report" ||
  fail "the report does not name the current folder $workspace_w"
facts=$(sed -n 's/^all \([0-9]*\) facts ran$/\1/p' "$report")
[ -n "$facts" ] || fail "the report does not end with every fact: $(tail -n 1 "$report")"
lines=$(grep -cE '^(as expected|DIFFERS|UNCHECKED) ' "$report" || true)
[ "$lines" = "$facts" ] || fail "the report has $lines facts, not $facts"
left=$(ls -A "$temp_dir")
[ -z "$left" ] || fail "left in the temporary folder: $left"
# The test command prints this line of each suite's.
printf '%s passed, 0 failed, 0 skipped: TEMP=TMP=%s, started from %s; all %s facts reported\n' \
  "$count" "$short" "$workspace_w" "$facts"
