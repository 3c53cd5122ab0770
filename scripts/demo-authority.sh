#!/usr/bin/env bash
# Makes a small demo certification authority in DIR, once: a root, an
# intermediate CA (the "AC" that ca-import installs), two leaf certificates
# issued by the intermediate, and the intermediate's CRL, which revokes one of
# them. The certificate and CRL are also written in DER, as an authority
# publishes them.
set -euo pipefail
dir=$1
if [ -f "$dir/cas_zel.crl" ]; then
  exit 0
fi
mkdir -p "$dir"
cd "$dir"
ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
quiet() { "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; }

quiet openssl req -x509 "${ec[@]}" -keyout root.key -out root.pem -days 3650 \
  -subj "/O=ca-import demo/CN=Demo Root CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"

cat > intermediate.ext <<'EXT'
basicConstraints=critical,CA:TRUE,pathlen:0
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EXT
quiet openssl req "${ec[@]}" -keyout intermediate.key -out intermediate.csr \
  -subj "/O=ca-import demo/CN=Demo Intermediate CA"
quiet openssl x509 -req -in intermediate.csr -CA root.pem -CAkey root.key -set_serial 0x1001 \
  -days 1825 -extfile intermediate.ext -out intermediate.pem

cat > leaf.ext <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=clientAuth
authorityKeyIdentifier=keyid
EXT
serial=0x2001
for leaf in good revoked; do
  quiet openssl req "${ec[@]}" -keyout "$leaf.key" -out "$leaf.csr" \
    -subj "/O=ca-import demo/CN=Demo user ($leaf)"
  quiet openssl x509 -req -in "$leaf.csr" -CA intermediate.pem -CAkey intermediate.key \
    -set_serial "$serial" -days 365 -extfile leaf.ext -out "$leaf.pem"
  serial=0x2002
done

cat > ca.cnf <<'CNF'
[ca]
default_ca = intermediate
[intermediate]
database = index.txt
crlnumber = crlnumber
certificate = intermediate.pem
private_key = intermediate.key
default_md = sha256
default_crl_days = 30
crl_extensions = crl_ext
[crl_ext]
authorityKeyIdentifier = keyid
CNF
: > index.txt
echo 01 > crlnumber
quiet openssl ca -config ca.cnf -revoke revoked.pem -crl_reason keyCompromise
quiet openssl ca -config ca.cnf -gencrl -out crl.pem

quiet openssl x509 -in intermediate.pem -outform DER -out atrib-cert-ul.cer
quiet openssl crl -in crl.pem -outform DER -out cas_zel.crl
