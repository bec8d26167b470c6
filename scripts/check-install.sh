#!/usr/bin/env bash
# Installs the build in BUILD_DIR (default build) into a throwaway prefix and
# runs the installed copy from there as a user would: no LD_LIBRARY_PATH, the
# data source, data and settings in a throwaway home.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
unset LD_LIBRARY_PATH
export HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/config" XDG_DATA_HOME="$tmp/home/data" \
  XDG_STATE_HOME="$tmp/home/state" ODBCINI="$tmp/home/odbc.ini"
unset TALLYQUILL_DSN TALLYQUILL_REGISTRY
mkdir -p "$HOME"
tq="$prefix/bin/tallyquill"
fail() { echo "installed copy: $*" >&2; exit 1; }
[ -n "$("$tq" --version)" ] || fail "--version printed nothing"
"$tq" --help >/dev/null || fail "--help failed"
"$tq" setup >/dev/null
"$tq" write --dsn Tallyquill --app INST --ws WS01 --user john --event login "installed copy" \
  || fail "write failed"
rows="$("$tq" list --dsn Tallyquill --app INST)"
[[ "$rows" == *"installed copy"* ]] || fail "list did not show the written row: $rows"
# A host built with pkg-config as the README shows: it finds the library
# through the RUNPATH it was linked with.
pc="$(find "$prefix" -name tallyquill.pc)"
export PKG_CONFIG_PATH="${pc%/*}"
# shellcheck disable=SC2046
c++ -std=c++17 examples/cpp_host.cpp -o "$tmp/cpp_host" $(pkg-config --cflags --libs tallyquill) \
  -Wl,-rpath,"$(pkg-config --variable=libdir tallyquill)"
"$tmp/cpp_host" Tallyquill >/dev/null || fail "a host built with pkg-config does not run"
rows="$("$tq" list --dsn Tallyquill --app EXAMPLE)"
[[ "$rows" == *"C++ host started"* ]] || fail "the pkg-config host's row is missing: $rows"
# The retention unit names the command where it was installed.
unit="$prefix/share/systemd/user/tallyquill-retention@.service"
exec_start="$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")"
[ "$exec_start" = "$tq" ] || fail "$unit runs '$exec_start', not $tq"
"$exec_start" --version >/dev/null || fail "$unit's command does not start"
page="$prefix/share/man/man1/tallyquill.1"
if [ -f "$page" ]; then
  shown="$(MANWIDTH=80 man -l "$page")"
  [[ "$shown" == *tallyquill* ]] || fail "man -l $page shows nothing"
  [ "$(MANPATH="$prefix/share/man" man -w tallyquill)" = "$page" ] || fail "man does not find $page through MANPATH"
  [ "$(unset MANPATH; PATH="$prefix/bin:$PATH" man -w tallyquill)" = "$page" ] || fail "man does not find $page beside PATH"
fi
echo "Installed copy in a throwaway prefix: the command, a pkg-config host and the man page work without LD_LIBRARY_PATH"
