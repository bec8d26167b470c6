#!/usr/bin/env bash
# Builds the Debian packages (build-deb/tallyquill_*.deb and
# python3-tallyquill_*.deb) and checks them: lintian reports no errors, each
# holds exactly the files in cmake/deb/<package>.files (@MULTIARCH@: the
# architecture's library directory), and the command and the Python package
# in them run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset deb >/dev/null
cmake --build --preset deb -j"$(nproc)"
rm -f build-deb/*.deb
cpack --preset deb >/dev/null
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
for package in tallyquill python3-tallyquill; do
  deb="$(ls build-deb/"${package}"_*.deb)"
  fail() { echo "$deb: $*" >&2; exit 1; }
  lintian --fail-on error --suppress-tags link-to-shared-library-in-wrong-package "$deb" \
    || fail "lintian reports errors"
  diff -u <(sed "s#@MULTIARCH@#$multiarch#" "cmake/deb/$package.files") \
    <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's#^\./#/#') \
    || fail "its files differ from cmake/deb/$package.files"
  dpkg-deb -x "$deb" "$tmp"
done
LD_LIBRARY_PATH="$tmp/usr/lib/$multiarch" "$tmp/usr/bin/tallyquill" --version >/dev/null \
  || fail "its command does not start"
# The Python package finds the library from where both were unpacked.
PYTHONPATH="$tmp/usr/lib/python3/dist-packages" python3 -c "import tallyquill" \
  || fail "the Python package does not load its library"
echo "build-deb: lintian shows no errors in either package, their files are the expected ones, the command and the Python package load"
