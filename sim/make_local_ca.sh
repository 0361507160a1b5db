#!/bin/sh
# Makes a local certificate authority and a server certificate for localhost, for TLS on
# loopback (the simulator, the demo, the tests).
#
#   make_local_ca.sh OUTDIR
#
# Writes into OUTDIR (created if missing; existing files are replaced):
#   ca.key, ca.pem          the authority (P-256 key, self-signed, CA:TRUE)
#   server.key, server.pem  a server certificate for DNS:localhost and IP:127.0.0.1,
#                           issued by the authority
# Only the openssl command is needed (OpenSSL 1.1.1 or 3).
set -eu

if [ "$#" -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
out=$1
mkdir -p "$out"
cd "$out"

# P-256 keys: made in milliseconds, and every TLS peer here accepts them.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout ca.key -out ca.pem -days 3650 -sha256 -subj "/CN=Local Test CA" \
  -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null

openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout server.key -out server.csr -subj "/CN=localhost" 2>/dev/null

cat > server.ext <<'EXT'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1
EXT

# A random serial, so certificates from two runs never look like the same one.
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key \
  -set_serial "0x$(openssl rand -hex 8)" -days 825 -sha256 -extfile server.ext \
  -out server.pem 2>/dev/null

rm -f server.csr server.ext
chmod 600 ca.key server.key
