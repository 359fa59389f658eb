#!/bin/sh
# Signs hosts_entry_tool.exe with Authenticode (SHA-256) through osslsigncode.
# The certificate and key are the vendor's and never live in this repository.
#
#   sh scripts/sign.sh --cert CERT.pem (--key KEY.pem | --pkcs11-module MODULE.so --key PKCS11-URI)
#                      [--pass-file FILE] [--timestamp URL] IN.exe OUT.exe
#
#   --cert           the signing certificate, with its chain (PEM or DER)
#   --key            the private key file, or with --pkcs11-module its PKCS#11 URI
#   --pkcs11-module  the token's PKCS#11 module (a hardware key or HSM)
#   --pass-file      a file holding the key's passphrase
#   --timestamp      an RFC 3161 timestamp server, so that the signature
#                    outlives the certificate
set -eu
usage() {
  sed -n '4,5p' "$0" >&2
  exit 2
}
cert="" key="" module="" pass_file="" timestamp=""
while [ $# -gt 2 ]; do
  case $1 in
    --cert) cert=$2 ;;
    --key) key=$2 ;;
    --pkcs11-module) module=$2 ;;
    --pass-file) pass_file=$2 ;;
    --timestamp) timestamp=$2 ;;
    *) usage ;;
  esac
  shift 2
done
[ $# -eq 2 ] && [ -n "$cert" ] && [ -n "$key" ] || usage
in=$1
out=$2
if [ -e "$out" ]; then
  echo "sign.sh: $out exists; give a new name for the signed file" >&2
  exit 1
fi

set -- osslsigncode sign -h sha256 -n hosts_entry_tool -certs "$cert" -key "$key"
[ -z "$module" ] || set -- "$@" -pkcs11module "$module"
[ -z "$pass_file" ] || set -- "$@" -readpass "$pass_file"
[ -z "$timestamp" ] || set -- "$@" -ts "$timestamp"
"$@" -in "$in" -out "$out"
