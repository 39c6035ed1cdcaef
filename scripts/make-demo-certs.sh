#!/usr/bin/env bash
# make-demo-certs.sh OUTDIR PASSPHRASE
# Makes the demo TLS material: a test CA (ca.crt, ca.key), the substitute portal's server
# certificate (server.crt, server.key; valid for 127.0.0.1 and localhost) and the client
# certificate "01cert.pem" with its key "01key.pem", encrypted with PASSPHRASE.
# Does nothing when every file is already there.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 OUTDIR PASSPHRASE" >&2
  exit 2
fi
out=$1
pass=$2
files=(ca.crt ca.key server.crt server.key 01cert.pem 01key.pem)

all_there=1
for f in "${files[@]}"; do
  [ -s "$out/$f" ] || all_there=0
done
[ "$all_there" -eq 1 ] && exit 0

command -v openssl >/dev/null || { echo "make-demo-certs: openssl is not installed" >&2; exit 1; }
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d "$out/.make-certs.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# openssl writes its progress dots to stderr; keep real errors visible if a step fails.
run() {
  if ! "$@" >/dev/null 2>openssl.err; then
    echo "make-demo-certs: failed: $*" >&2
    cat openssl.err >&2
    exit 1
  fi
}

run openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 3650 \
  -subj "/CN=OrgHarvester Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"

run openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=localhost"
printf "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n" > server.ext
run openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out server.crt \
  -days 3650 -sha256 -extfile server.ext

run openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -aes-256-cbc \
  -pass "pass:$pass" -out 01key.pem
run openssl req -new -key 01key.pem -passin "pass:$pass" -out client.csr -subj "/CN=client"
printf "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=clientAuth\n" > client.ext
run openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out 01cert.pem \
  -days 3650 -sha256 -extfile client.ext

chmod 600 ca.key server.key 01key.pem
# Move the finished set in last, so an interrupted run never leaves a half set behind.
for f in "${files[@]}"; do
  mv -f "$f" "$out/$f"
done
