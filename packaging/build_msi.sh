#!/bin/sh
# Builds an installer package from the example's WiX source, or a vendor's
# copy of it, with Debian's wixl, then sets in the MSI what wixl 0.101 cannot
# encode, so that the tables are those WiX 3 makes from the same source:
#   - rollback custom actions whose program is in the Binary table (wixl
#     leaves them out), and the property-setting actions' type (51);
#   - the custom actions' sequence numbers (wixl misplaces actions sequenced
#     Before= or After= another action);
#   - RemoveExistingProducts right after InstallValidate (wixl has no
#     MajorUpgrade/@Schedule).
# These rows are found by the example's Ids, which a copy keeps (it checks
# for them), with the sequence numbers below, which no action of the copy's
# own may use.
#
# Usage: build_msi.sh [--wxs FILE.wxs] VERSION TOOL.exe QUIET_EXEC.dll OUTPUT.msi
#   --wxs  the package's source (default: packaging/hosts_entry_tool.wxs)
set -eu
here=$(dirname "$(realpath "$0")")
wxs=$here/hosts_entry_tool.wxs
if [ "${1-}" = --wxs ]; then
  wxs=${2:?build_msi.sh: --wxs needs a file}
  shift 2
fi
if [ $# -ne 4 ]; then
  sed -n '/^# Usage:/,/^[^#]/s/^# \{0,1\}//p' "$0" >&2
  exit 2
fi
version=$1
tool=$(realpath "$2")
dll=$(realpath "$3")
output=$(realpath -m "$4")
for id in ToolExe ToolBinary QuietExecDll SetInstallDnsCommand SetUninstallDnsCommand \
  RollbackInstallDns InstallDns RollbackUninstallDns UninstallDns; do
  grep -q "Id=\"$id\"" "$wxs" || {
    echo "build_msi.sh: $wxs has no Id=\"$id\"; a copy keeps the example's Ids (docs/shipping.md)" >&2
    exit 1
  }
done
mkdir -p "$(dirname "$output")"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$wxs" "$stage/package.wxs"
cp "$tool" "$dll" "$stage/"
cd "$stage"
wixl -a x64 -D Version="$version" -D ToolExe="$(basename "$tool")" \
  -D QuietExecDll="$(basename "$dll")" -o package.msi package.wxs 2>wixl.log || {
  cat wixl.log >&2
  exit 1
}
# Custom action types: 1 a DLL in the Binary table, 2 a program in the Binary
# table, 51 sets a property; +64 the exit status is ignored, +256 rollback,
# +1024 deferred (in the script), +2048 without impersonation (as LocalSystem).
msibuild package.msi \
  -q "UPDATE CustomAction SET Type = 51 WHERE Action = 'SetInstallDnsCommand'" \
  -q "UPDATE CustomAction SET Type = 51 WHERE Action = 'SetUninstallDnsCommand'" \
  -q "DELETE FROM CustomAction WHERE Action = 'InstallDns'" \
  -q "DELETE FROM CustomAction WHERE Action = 'UninstallDns'" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('RollbackInstallDns', 3394, 'ToolBinary', '--uninstall-dns')" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('InstallDns', 3073, 'QuietExecDll', 'QuietExec')" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('RollbackUninstallDns', 3394, 'ToolBinary', '--install-dns')" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('UninstallDns', 3137, 'QuietExecDll', 'QuietExec')" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 1001 WHERE Action = 'SetInstallDnsCommand'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 1002 WHERE Action = 'SetUninstallDnsCommand'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 1401 WHERE Action = 'RemoveExistingProducts'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 1501 WHERE Action = 'RollbackInstallDns'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 3498 WHERE Action = 'RollbackUninstallDns'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 3499 WHERE Action = 'UninstallDns'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 4001 WHERE Action = 'InstallDns'"
# Two actions at one number run in no defined order: refuse a copy whose own
# actions took one of these.
taken=$(msiinfo export package.msi InstallExecuteSequence | tr -d '\r' |
  awk -F '\t' 'NR > 3 { n[$3]++ } END { for (s in n) if (n[s] > 1) print s }')
if [ -n "$taken" ]; then
  echo "build_msi.sh: $wxs: more than one action at sequence $taken; give the copy's own actions other numbers" >&2
  exit 1
fi
mv package.msi "$output"
