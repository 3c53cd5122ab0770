#!/usr/bin/env bash
# The packages as users get them. Makes the Debian package of the build tree
# BUILD and checks it with lintian (no error, no warning); where this runs as
# root with dpkg, installs it, runs the installed ca-import from PATH against
# a loopback authority, checks the manual page and the systemd units, and
# removes it, leaving nothing behind. With the Windows build, checks the zip.
#   usage: package_test.sh BUILD
set -euo pipefail
build=$(realpath "$1")
repo=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
installed=no
cleanup() {
  if [ "$installed" = yes ]; then
    dpkg -r ca-import >/dev/null 2>&1 || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$scratch/packages" >/dev/null
deb=$(ls "$scratch"/packages/ca-import_*_amd64.deb)
echo "== $deb"
dpkg-deb -f "$deb" Package Version Depends
lintian --fail-on error,warning "$deb" || fail "lintian"

if [ -f "$build/windows/CPackConfig.cmake" ]; then
  cpack --config "$build/windows/CPackConfig.cmake" -B "$scratch/packages" >/dev/null
  zip=$(ls "$scratch"/packages/ca-import-*-win64.zip)
  echo "== $zip"
  listing=$(unzip -Z1 "$zip")
  echo "$listing"
  top=$(basename "$zip" .zip)
  for file in ca-import.exe README.txt ca-import-task.xml; do
    grep -qx "$top/$file" <<<"$listing" || fail "$file is not in the zip"
  done
fi

if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
  echo "SKIPPED: installing the package needs root"
  exit 0
fi
if dpkg -s ca-import >/dev/null 2>&1; then
  echo "SKIPPED: ca-import is installed on this machine already"
  exit 0
fi

echo "== dpkg -i"
dpkg -i "$deb" >/dev/null
installed=yes
files=$(dpkg -L ca-import)
[ "$(command -v ca-import)" = /usr/bin/ca-import ] || fail "ca-import is not on PATH"
man --warnings -l /usr/share/man/man1/ca-import.1.gz >/dev/null 2>"$scratch/man.err" ||
  fail "man page"
[ ! -s "$scratch/man.err" ] || { cat "$scratch/man.err"; fail "the man page renders with warnings"; }
if command -v systemd-analyze >/dev/null; then
  (cd "$scratch" && systemd-analyze verify --man=no \
    /usr/lib/systemd/user/ca-import.service /usr/lib/systemd/user/ca-import.timer) ||
    fail "systemd-analyze verify"
  echo "systemd-analyze verify: the units are accepted"
else
  echo "SKIPPED: systemd-analyze is not installed"
fi

# The installed program against a loopback authority.
"$repo/scripts/demo-authority.sh" "$scratch/authority"
mkdir -p "$scratch/docroot" "$scratch/server" "$scratch/home" "$scratch/data" "$scratch/work"
cp "$scratch/authority/atrib-cert-ul.cer" "$scratch/authority/cas_zel.crl" "$scratch/docroot/"
coproc server { exec python3 "$repo/tests/loopback_server.py" \
  --state "$scratch/server" --docroot "$scratch/docroot"; }
read -r ports <&"${server[0]}"
http=$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])["http"])' "$ports")
(cd "$scratch/work" && env -i PATH=/usr/bin:/bin HOME="$scratch/home" XDG_DATA_HOME="$scratch/data" \
  ca-import "http://127.0.0.1:$http/atrib-cert-ul.cer" "http://127.0.0.1:$http/cas_zel.crl") ||
  fail "the installed ca-import"
store=$scratch/data/certstore/CA
(cd "$scratch/authority" &&
  openssl verify -CAfile root.pem -CApath "$store" -crl_check good.pem) || fail "openssl verify"

echo "== dpkg -r"
dpkg -r ca-import >/dev/null
installed=no
dpkg -P ca-import >/dev/null 2>&1 || true
while read -r path; do
  if [ -f "$path" ] || [ -L "$path" ]; then
    fail "$path is left behind"
  fi
done <<<"$files"
[ ! -e /usr/share/doc/ca-import ] || fail "/usr/share/doc/ca-import is left behind"
echo "installed, ran, removed: nothing left behind"
