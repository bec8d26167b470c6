#!/usr/bin/env bash
# Builds the Debian package (build-deb/tallyquill_*.deb) and checks it:
# lintian reports no errors, it holds exactly the files in
# cmake/deb/files.txt (@MULTIARCH@: the architecture's library directory),
# and the command in it runs.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset deb >/dev/null
cmake --build --preset deb -j"$(nproc)"
rm -f build-deb/tallyquill_*.deb
cpack --preset deb >/dev/null
deb="$(ls build-deb/tallyquill_*.deb)"
fail() { echo "$deb: $*" >&2; exit 1; }
lintian --fail-on error --suppress-tags link-to-shared-library-in-wrong-package "$deb" \
  || fail "lintian reports errors"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
diff -u <(sed "s#@MULTIARCH@#$multiarch#" cmake/deb/files.txt) <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's#^\./#/#') \
  || fail "its files differ from cmake/deb/files.txt"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
LD_LIBRARY_PATH="$tmp/usr/lib/$multiarch" "$tmp/usr/bin/tallyquill" --version >/dev/null \
  || fail "its command does not start"
echo "$deb: lintian shows no errors, its files are the expected ones, its command starts"
