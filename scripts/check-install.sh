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
# build_host COMPILER SOURCE NAME [FLAGS...]: as the README shows.
build_host() {
  local compiler="$1" source="$2" name="$3"
  shift 3
  # shellcheck disable=SC2046
  "$compiler" "$@" "$source" -o "$tmp/$name" $(pkg-config --cflags --libs tallyquill) \
    -Wl,-rpath,"$(pkg-config --variable=libdir tallyquill)"
}
build_host c++ examples/cpp_host.cpp cpp_host -std=c++17
"$tmp/cpp_host" Tallyquill >/dev/null || fail "a host built with pkg-config does not run"
rows="$("$tq" list --dsn Tallyquill --app EXAMPLE)"
[[ "$rows" == *"C++ host started"* ]] || fail "the pkg-config host's row is missing: $rows"
# The C interface and the Python package, from the prefix alone.
build_host cc examples/c_host.c c_host -std=c11
"$tmp/c_host" Tallyquill >/dev/null || fail "a C host built with pkg-config does not run"
rows="$("$tq" list --dsn Tallyquill --app EXAMPLE)"
[[ "$rows" == *"C host stopped"* ]] || fail "the C host's rows are missing: $rows"
# One C logger shared by four threads: each acknowledged row once.
build_host cc tests/c_api_host.c c_api_host -std=c11 -pthread
"$tmp/c_api_host" Tallyquill CTHREADS || fail "a C logger shared by threads lost or doubled rows"
"$tq" list --dsn Tallyquill --app CTHREADS --format csv | tail -n +2 | cut -d, -f7 > "$tmp/threads.txt"
[ "$(wc -l < "$tmp/threads.txt")" = 200 ] && [ "$(sort -u "$tmp/threads.txt" | wc -l)" = 200 ] \
  || fail "the threads' 200 rows are not in the table once each"
PYTHONPATH="$prefix/lib/python3/dist-packages" python3 tests/python_handler_test.py "$tq" 2>"$tmp/py.log" \
  || { cat "$tmp/py.log" >&2; fail "the Python package does not work"; }
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
  for section in EXAMPLES FILES "SEE ALSO"; do
    [[ "$shown" == *"$section"* ]] || fail "the man page has no $section"
  done
fi
# lnav, given the installed format, reads an archive file, the print layout
# and JSON lines as records with their fields.
if command -v lnav >/dev/null; then
  mkdir -p "$tmp/lnav/formats/tallyquill"
  cp "$prefix/share/tallyquill/lnav/tallyquill.json" "$tmp/lnav/formats/tallyquill/"
  "$tq" write --dsn Tallyquill --app INST --ws WS02 --user "mary ann" --event print "second row" || fail "write failed"
  "$tq" archive --dsn Tallyquill --app INST --until today --file "$tmp/archive.log" >/dev/null || fail "archive failed"
  "$tq" list --dsn Tallyquill --app INST > "$tmp/print.txt"
  "$tq" list --dsn Tallyquill --app INST --format json > "$tmp/list.json"
  lnav_count() {
    lnav -n -I "$tmp/lnav" -c ";SELECT count(*) FROM $1 WHERE user = 'MARY ANN' AND event = 'PRINT'" "$2" | tail -1 | tr -d ' '
  }
  [ "$(lnav_count tallyquill_log "$tmp/archive.log")" = 1 ] || fail "lnav does not read the archive file"
  [ "$(lnav_count tallyquill_log "$tmp/print.txt")" = 1 ] || fail "lnav does not read the print layout"
  [ "$(lnav_count tallyquill_json "$tmp/list.json")" = 1 ] || fail "lnav does not read JSON lines"
fi
echo "Installed copy in a throwaway prefix: the command, C, C++ and Python hosts, the man page and the lnav format work without LD_LIBRARY_PATH"
