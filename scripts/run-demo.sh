#!/usr/bin/env bash
# Runs ca-import against the demo authority: serves its certificate and CRL,
# in DER, over HTTPS on 127.0.0.1, and runs PROGRAM on the two URLs with a
# HOME and XDG_DATA_HOME inside DEMO_DIR, so the user's own store is never
# touched. Then lists the store and lets openssl verify the authority's two
# leaf certificates against it: the good one passes, the revoked one fails.
# Exits with 0 only when all of that went as it should.
#   usage: run-demo.sh PROGRAM DEMO_DIR
set -euo pipefail
program=$(realpath "$1")
demo=$(realpath -m "$2")
repo=$(cd "$(dirname "$0")/.." && pwd)

"$repo/scripts/demo-authority.sh" "$demo/authority"
mkdir -p "$demo/server" "$demo/home" "$demo/data" "$demo/work"
docroot=$demo/server/docroot
install -D -m 644 "$demo/authority/atrib-cert-ul.cer" \
  "$docroot/wp-content/uploads/certificates/atrib-cert-ul.cer"
install -D -m 644 "$demo/authority/cas_zel.crl" \
  "$docroot/wp-content/uploads/certificates/pki/cas_zel.crl"

# The server stops when its input closes, that is when this script ends.
coproc server { exec python3 "$repo/tests/loopback_server.py" \
  --state "$demo/server" --docroot "$docroot"; }
read -r ports <&"${server[0]}"
https=$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])["https"])' "$ports")
base=https://127.0.0.1:$https/wp-content/uploads/certificates

echo "Demo authority:  $demo/authority"
echo "Serving over:    https://127.0.0.1:$https/ (trusted through SSL_CERT_FILE)"
echo "Working in:      $demo/work"
echo
echo "\$ ca-import $base/atrib-cert-ul.cer $base/pki/cas_zel.crl"
status=0
(cd "$demo/work" &&
  env HOME="$demo/home" XDG_DATA_HOME="$demo/data" SSL_CERT_FILE="$demo/server/ca.pem" \
    "$program" "$base/atrib-cert-ul.cer" "$base/pki/cas_zel.crl") || status=$?
echo
echo "ca-import exited with status $status."
if [ "$status" -ne 0 ]; then
  exit "$status"
fi

store=$demo/data/certstore/CA
echo
echo "The store, $store:"
(cd "$store" && ls -l -- *)
echo
failed=0
for leaf in good revoked; do
  if [ "$leaf" = revoked ]; then
    echo
    echo "The CRL just installed revokes this one, so openssl must refuse it:"
  fi
  echo "\$ openssl verify -CAfile root.pem -CApath \$store -crl_check $leaf.pem"
  verdict=$(cd "$demo/authority" &&
    openssl verify -CAfile root.pem -CApath "$store" -crl_check "$leaf.pem" 2>&1) || true
  echo "$verdict"
  case $leaf:$verdict in
  good:"good.pem: OK") ;;
  revoked:*"certificate revoked"*) ;;
  *) failed=1 ;;
  esac
done
echo
if [ "$failed" -ne 0 ]; then
  echo "Verdict: FAILED, the store did not verify as expected." >&2
  exit 1
fi
echo "Verdict: as expected. ca-import installed the authority's certificate and CRL; with them the good certificate verified and the revoked one was refused."
