#!/bin/sh
# Signs a Windows file (hosts_entry_tool.exe, quiet_exec.dll, an .msi) with
# Authenticode (SHA-256) through osslsigncode. The certificate and key are the
# vendor's and never live in this repository or its checkout.
#
#   sh scripts/sign.sh --cert CERT.pem (--key KEY.pem | --pkcs11-module MODULE.so --key PKCS11-URI)
#                      [--pass-file FILE] [--description TEXT] [--url URL] [--timestamp URL] IN OUT
#
#   --cert           the signing certificate, with its chain (PEM or DER)
#   --key            the private key file, or with --pkcs11-module its PKCS#11 URI
#   --pkcs11-module  the token's PKCS#11 module (a hardware key or HSM)
#   --pass-file      a file holding the key's passphrase
#   --description    the signed program's name, which the signature shows (and
#                    Windows' elevation prompt with it); default: for an .msi,
#                    its ProductName, otherwise the file's name without its
#                    extension
#   --url            a web address the signature shows beside it
#   --timestamp      optional: an RFC 3161 timestamp server, so that the
#                    signature outlives the certificate (needs the network)
#   IN               the file to sign
#   OUT              the signed file, a new name; its folder is made if missing
#
# On failure the first line says why, in the signer's own words; its full
# output follows.
set -eu
synopsis() { sed -n '2,/^set -eu/s/^# \{0,1\}//p' "$0"; }
usage() {
  synopsis >&2
  exit 2
}
if [ "${1-}" = --help ]; then
  synopsis
  exit 0
fi
cert="" key="" module="" pass_file="" timestamp="" description="" url=""
while [ $# -gt 2 ]; do
  case $1 in
    --cert) cert=$2 ;;
    --key) key=$2 ;;
    --pkcs11-module) module=$2 ;;
    --pass-file) pass_file=$2 ;;
    --timestamp) timestamp=$2 ;;
    --description) description=$2 ;;
    --url) url=$2 ;;
    *) usage ;;
  esac
  shift 2
done
[ $# -eq 2 ] && [ -n "$cert" ] && [ -n "$key" ] || usage
in=$1
out=$2
if [ ! -f "$in" ]; then
  echo "sign.sh: $in: no such file to sign" >&2
  exit 1
fi
if [ -e "$out" ]; then
  echo "sign.sh: $out exists; give a new name for the signed file" >&2
  exit 1
fi
# The signed file's folder: made here when missing (and taken away again if
# signing fails), so that the signer never fails on it.
folder=$(dirname "$out")
existing=$folder
while [ ! -e "$existing" ]; do existing=$(dirname "$existing"); done
if ! reason=$(mkdir -p -- "$folder" 2>&1); then
  echo "sign.sh: cannot make the folder for $out: ${reason#mkdir: }" >&2
  exit 1
fi

if [ -z "$description" ]; then
  case $in in
    *.msi | *.MSI)
      description=$(msiinfo export "$in" Property 2>/dev/null | tr -d '\r' |
        awk -F '\t' '$1 == "ProductName" { print $2 }') ;;
  esac
fi
if [ -z "$description" ]; then
  description=$(basename "$in")
  description=${description%.*}
fi

set -- osslsigncode sign -h sha256 -n "$description" -certs "$cert" -key "$key"
[ -z "$url" ] || set -- "$@" -i "$url"
[ -z "$module" ] || set -- "$@" -pkcs11module "$module"
[ -z "$pass_file" ] || set -- "$@" -readpass "$pass_file"
[ -z "$timestamp" ] || set -- "$@" -ts "$timestamp"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$@" -in "$in" -out "$out" >"$log" 2>&1 || status=$?
[ "$status" -ne 0 ] || exit 0
rm -f -- "$out"
while [ "$folder" != "$existing" ]; do
  rmdir -- "$folder" 2>/dev/null || break
  folder=$(dirname "$folder")
done
# osslsigncode says what went wrong in lines of its own, among OpenSSL's
# error queue (lines like 40E0...:error:...) and progress lines: those come
# first, on one line.
cause=$(grep -v -E '^[0-9A-F]+:error:|^Failed$|^Connecting to |^Use the |^$' "$log" |
  awk '{ printf "%s%s", (NR > 1 ? "; " : ""), $0 }')
echo "sign.sh: signing $in failed (osslsigncode exit status $status): ${cause:-see below}" >&2
cat "$log" >&2
exit 1
