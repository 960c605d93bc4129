#!/usr/bin/env bash
# Certificates for the TLS tests, made afresh in DIR for each run: a CA, a second CA
# nobody trusts, the server's certificate (localhost and 127.0.0.1), a client's, a
# client's of the other CA, one for another name, a self-signed one, and one that
# expired in 2020.
set -euo pipefail
cd "$1"
q() { "$@" >/dev/null 2>&1; }
q openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Portvale test CA"
q openssl req -x509 -newkey rsa:2048 -nodes -keyout other-ca.key -out other-ca.pem -days 2 -subj "/CN=Other CA"
sign() {  # name, subject, extensions, CA
  q openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2"
  printf '%s\n' "$3" > "$1.ext"
  q openssl x509 -req -in "$1.csr" -CA "$4.pem" -CAkey "$4.key" -CAcreateserial -out "$1.pem" -days 2 -extfile "$1.ext"
}
sign server /CN=localhost "subjectAltName=DNS:localhost,IP:127.0.0.1" ca
sign client /CN=client "extendedKeyUsage=clientAuth" ca
sign stranger /CN=stranger "extendedKeyUsage=clientAuth" other-ca
sign elsewhere /CN=elsewhere.example "subjectAltName=DNS:elsewhere.example" ca
q openssl req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.pem -days 2 -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost"
# Dates in the past need the CA command and a database of its own.
mkdir -p db
: > db/index
echo 01 > db/serial
printf '%s\n' "[ca]" "default_ca = test" "[test]" "database = db/index" "serial = db/serial" \
  "new_certs_dir = db" "default_md = sha256" "policy = any" "copy_extensions = copy" \
  "[any]" "commonName = supplied" > ca.cnf
q openssl req -newkey rsa:2048 -nodes -keyout expired.key -out expired.csr -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost"
q openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20200102000000Z
chmod 600 ./*.key
