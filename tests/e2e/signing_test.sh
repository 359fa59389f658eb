#!/bin/sh
# The vendor's path as docs/shipping.md gives it: the guide's `sh` blocks
# marked tested run as written, in order, in one shell, in a scratch folder
# laid out like a checkout after the Windows build, with KEYS naming the
# folder of the guide's throwaway certificate. Then each row
# below checks what the guide says of the result, or what sign.sh does when
# signing fails.
#   signing_test.sh WORKDIR EXE DLL PYTHON SOURCE_DIR E2E_ARGS...
set -eu
work=$1 exe=$2 dll=$3 python=$4 source=$5
shift 5
rm -rf "$work"
mkdir -p "$work/build/windows/app" "$work/build/windows/packaging"
cd "$work"
for part in scripts packaging CMakeLists.txt CMakePresets.json app hosts cmake tools; do
  ln -s "$source/$part" "$part"
done
cp "$exe" build/windows/app/
cp "$dll" build/windows/packaging/

awk 'marked { marked = 0; if ($0 == "```sh") { copy = 1; next } }
     /^<!-- tested: / { marked = 1 }
     /^```$/ { copy = 0 }
     copy' "$source/docs/shipping.md" >guide.sh
if ! KEYS="$work/keys" sh -eu guide.sh >guide.out 2>&1; then
  cat guide.sh guide.out
  echo "FAILED: the shipping guide's commands, run as written"
  exit 1
fi
echo "ok: the shipping guide's commands ($(grep -c . guide.sh) lines) ran as written"

passed=1 failed=0  # the guide's run above is the first
# What the guide's commands made here, before the rows add their own files.
find . -path ./keys -prune -o -type f ! -name 'guide.*' -print | sed 's|^\./||' >keys/made.txt
row() {
  name=$1
  shift
  if "$@" >row.out 2>&1; then
    echo "ok: $name"
    passed=$((passed + 1))
  else
    echo "FAILED: $name"
    cat row.out
    failed=$((failed + 1))
  fi
}
verified() { osslsigncode verify -CAfile keys/vendor-chain.pem -in "$1" | grep -q "^Signature verification: ok"; }
shows() {
  osslsigncode verify -CAfile keys/vendor-chain.pem -in "$1" >shown.txt && shift &&
    for line in "$@"; do grep -qx "[[:space:]]*$line" shown.txt || return 1; done
}
not_trusted_without_chain() { ! osslsigncode verify -in signed/hosts_entry_tool.exe; }
unsigned_again() { cmp unsigned.exe "$exe"; }
tool_from_package() { cmp hosts_entry_tool.exe signed/hosts_entry_tool.exe; }
ignored_by_git() { ! git -C "$source" check-ignore --no-index -n -v --stdin <keys/made.txt | grep '^::'; }
own_names_apart() {
  cmp build/windows/app/hosts_entry_tool.exe "$exe" &&
    grep -q "api.my-client.example" build/my-client/app/hosts_entry_tool.exe
}
installed_under_wine() {
  tr -d '\r' <guide.out | grep -qx 0 &&
    [ "$(grep -c "^127.0.0.1	" build/wine-my-client/drive_c/windows/system32/drivers/etc/hosts)" = 2 ] &&
    [ -f "build/wine-my-client/drive_c/Program Files/My VPN Client/hosts_entry_tool.exe" ]
}
product_code() { grep -Eq '^\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}$' guide.out; }
own_identity() {
  for code in $(grep -Eo '(UpgradeCode|Guid)="[^"]*"' packaging/hosts_entry_tool.wxs | cut -d'"' -f2); do
    ! grep -qi "$code" my-client.wxs || return 1
  done
  msiinfo export signed/my-client-1.0.0.msi Property | tr -d '\r' | grep -qx 'ProductName	My VPN Client'
}
# Signing into a folder that cannot be made: one line, nothing signed.
refused_folder() {
  ! sh scripts/sign.sh --cert keys/vendor-chain.pem --key keys/vendor-key.pem "$exe" \
    signed/hosts_entry_tool.exe/x.exe 2>err.txt &&
    [ "$(wc -l <err.txt)" -eq 1 ] && grep -q "^sign.sh: cannot make the folder" err.txt
}
# A key that is no key: the signer's own reason on the first line, and no
# signed file or folder left.
reason_first() {
  echo "not a key" >keys/bad.pem
  ! sh scripts/sign.sh --cert keys/vendor-chain.pem --key keys/bad.pem "$exe" new/a.exe 2>err.txt &&
    head -1 err.txt | grep -q "^sign.sh: .*: Failed to decode private key file" && [ ! -e new ]
}
whole_synopsis() {
  sh scripts/sign.sh --help >help.txt &&
    grep -q '\[--description TEXT\] \[--url URL\] \[--timestamp URL\] IN OUT$' help.txt &&
    grep -q -- '--timestamp      optional' help.txt
}

row "git ignores what the guide's commands made" ignored_by_git
row "the build with one's own names leaves the hash-checked build as it was" own_names_apart
row "the guide's Wine commands install the package in a prefix of their own" installed_under_wine
row "the signed .exe verifies with the vendor's chain" verified signed/hosts_entry_tool.exe
row "the signed DLL verifies with the vendor's chain" verified signed/quiet_exec.dll
row "the signed package verifies with the vendor's chain" verified signed/my-client-1.0.0.msi
row "the signed NSIS installer verifies with the vendor's chain" verified signed/my-client-setup-1.0.0.exe
row "without the chain, the machine does not trust it" not_trusted_without_chain
row "the package's signature shows its ProductName" shows signed/my-client-1.0.0.msi "Text description: My VPN Client"
row "the NSIS installer's signature shows the name and address given" shows signed/my-client-setup-1.0.0.exe \
  "Text description: My VPN Client" "URL description: https://vpn.example.com/"
row "the DLL's signature shows its file's name" shows signed/quiet_exec.dll "Text description: quiet_exec"
row "the signed .exe passes the PE checks" "$python" "$source/tests/e2e/check_pe.py" \
  signed/hosts_entry_tool.exe
row "the signed .exe passes the acceptance run under Wine" "$python" \
  "$source/tests/e2e/e2e_test.py" --tool signed/hosts_entry_tool.exe "$@" CommandTest
row "removing the signature gives back the unsigned bytes" unsigned_again
row "the copy has its own UpgradeCode, component Guid and name" own_identity
row "the ProductCode is read as one clean GUID" product_code
row "the tool taken out of the package is the signed tool" tool_from_package
# The package suites on the guide's copies, with the Wine session's "$@".
row "the MSI suite on the copy: its WiX 4 source, and install and removal by its names" \
  "$python" "$source/tests/e2e/msi_test.py" --old signed/my-client-1.0.0.msi \
  --new signed/my-client-1.0.0.msi --wix4 my-client.wix4.wxs --guide "$source/docs/shipping.md" \
  "$@" Wix4SourceTest PackageTest.test_install_then_uninstall
row "the NSIS suite installs and removes the copy's installer, by its script's names" "$python" \
  "$source/tests/e2e/nsis_test.py" --old signed/my-client-setup-1.0.0.exe \
  --new signed/my-client-setup-1.0.0.exe --failing signed/my-client-setup-1.0.0.exe \
  --script my-client.nsi --makensis makensis --guide "$source/docs/shipping.md" "$@" \
  InstallerTest.test_first_install InstallerTest.test_uninstall
row "sign.sh refuses a folder it cannot make, in one line" refused_folder
row "sign.sh puts the signer's own reason first, and leaves nothing" reason_first
row "sign.sh --help shows the whole synopsis" whole_synopsis
echo "$passed passed, $failed failed, 0 skipped"
[ "$failed" -eq 0 ]
