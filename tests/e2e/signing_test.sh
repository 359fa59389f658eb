#!/bin/sh
# Signs the built executable with a throwaway self-signed certificate made
# here, then checks that the signature verifies, that the signed .exe passes
# the PE checks and the acceptance run under Wine, and that removing the
# signature gives back the unsigned bytes.
#   signing_test.sh WORKDIR EXE PYTHON SOURCE_DIR E2E_ARGS...
set -eu
work=$1 exe=$2 python=$3 source=$4
shift 4
rm -rf "$work"
mkdir -p "$work"
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 1 \
  -subj "/CN=hosts_entry_tool throwaway test signer" -addext "extendedKeyUsage=codeSigning" \
  2>/dev/null
sh "$source/scripts/sign.sh" --cert cert.pem --key key.pem "$exe" signed.exe >/dev/null
osslsigncode verify -CAfile cert.pem -in signed.exe | grep -q "^Signature verification: ok"
"$python" "$source/tests/e2e/check_pe.py" signed.exe
"$python" "$source/tests/e2e/e2e_test.py" --tool signed.exe "$@" CommandTest
osslsigncode remove-signature -in signed.exe -out unsigned.exe >/dev/null
cmp "$exe" unsigned.exe
echo "signed, verified, accepted, and unsigned again byte for byte"
