#!/bin/sh
# Builds the example package with Debian's wixl, then sets in the MSI what
# wixl 0.101 cannot encode from hosts_entry_tool.wxs, so that the tables are
# those WiX 3 makes from the same source:
#   - rollback custom actions whose program is in the Binary table (wixl
#     leaves them out),
#   - the custom actions' sequence numbers (wixl does not place actions
#     sequenced Before= or After= another action),
#   - RemoveExistingProducts right after InstallValidate (wixl has no
#     MajorUpgrade/@Schedule).
# Usage: build_msi.sh VERSION TOOL_EXE OUTPUT_MSI
set -eu
version=$1
tool=$(realpath "$2")
output=$(realpath -m "$3")
here=$(dirname "$(realpath "$0")")
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$here/hosts_entry_tool.wxs" "$tool" "$stage/"
cd "$stage"
wixl -a x64 -D Version="$version" -D ToolExe="$(basename "$tool")" -o package.msi \
  hosts_entry_tool.wxs 2>wixl.log || { cat wixl.log >&2; exit 1; }
# Custom action types: 2 a program in the Binary table, 18 an installed file;
# +64 the exit status is ignored, +256 rollback, +1024 deferred (in the
# script), +2048 without impersonation (as LocalSystem).
msibuild package.msi \
  -q "DELETE FROM CustomAction WHERE Action = 'InstallDns'" \
  -q "DELETE FROM CustomAction WHERE Action = 'UninstallDns'" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('RollbackInstallDns', 3394, 'ToolBinary', '--uninstall-dns')" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('InstallDns', 3090, 'ToolExe', '--install-dns')" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('RollbackUninstallDns', 3394, 'ToolBinary', '--install-dns')" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('UninstallDns', 3154, 'ToolExe', '--uninstall-dns')" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 1450 WHERE Action = 'RemoveExistingProducts'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 3498 WHERE Action = 'RollbackUninstallDns'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 3499 WHERE Action = 'UninstallDns'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 1501 WHERE Action = 'RollbackInstallDns'" \
  -q "UPDATE InstallExecuteSequence SET Sequence = 4002 WHERE Action = 'InstallDns'"
mv package.msi "$output"
