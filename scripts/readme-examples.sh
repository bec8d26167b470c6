#!/usr/bin/env bash
# Runs the command examples of the README as written, against the installed
# copy in PREFIX and a throwaway home: every line of the block after
# "export TALLYQUILL_DSN=Tallyquill TALLYQUILL_APP=ORDERS" must exit 0. Two
# things differ from a user's machine: /srv/archive is a directory under the
# throwaway home, and lines that need what no test machine has (a server
# named db.example) or never end (--follow, cut after 2 s) are run that way.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix="$1"
readme="$PWD/README.md"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
export HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/config" XDG_DATA_HOME="$tmp/home/data" \
  XDG_STATE_HOME="$tmp/home/state" ODBCINI="$tmp/home/odbc.ini" PATH="$prefix/bin:$PATH"
unset TALLYQUILL_PASSWORD TALLYQUILL_REGISTRY LD_LIBRARY_PATH
mkdir -p "$HOME" "$tmp/srv/archive"
cd "$tmp"
db="$(tallyquill setup)"
export TALLYQUILL_DSN=Tallyquill TALLYQUILL_APP=ORDERS
# Rows for the examples to find: recent ones, and two old days that the
# import line reads back from their archive files.
tallyquill write --ws WS01 --user john --event login "Signed on"
tallyquill write --ws WS01 --user mary --event refund "refund of order 1001"
sqlite3 "$db" "INSERT INTO ORDERS_logs VALUES ('ORDERS','WS01','20260301','090000','JOHN','LOGIN','old'),
                                              ('ORDERS','WS01','20260302','090000','MARY','LOGIN','old')"
tallyquill archive --until 2026-03-02 --daily "$tmp/srv/archive" --prefix orders_ --delete >/dev/null
fail() { echo "README example failed ($1): $2" >&2; exit 1; }
ran=0
while IFS= read -r line; do
  line="${line#    }"
  line="${line//\/srv\/archive/$tmp/srv/archive}"
  [[ "$line" == *db.example* ]] && continue
  if [[ "$line" == *--follow* ]]; then
    status=0; timeout 2 bash -c "$line" >/dev/null || status=$?
    [ "$status" = 124 ] || fail "$status" "$line"
  else
    bash -c "$line" >/dev/null 2>"$tmp/err" || fail "$?" "$line: $(cat "$tmp/err")"
  fi
  ran=$((ran + 1))
done < <(sed -n '/^    export TALLYQUILL_DSN=Tallyquill TALLYQUILL_APP=ORDERS$/,/^[^ ]/{/^    tallyquill /p}' "$readme")
[ "$ran" -ge 10 ] || fail "$ran" "fewer examples than the README has"
# The old days went out, came back with import, and went out again with
# retention: each day file holds its line twice, and the table none.
for day in 20260301 20260302; do
  [ "$(grep -c ' old' "$tmp/srv/archive/orders_$day.log")" = 2 ] || fail "import, retention" "orders_$day.log"
done
[ "$(sqlite3 "$db" "SELECT COUNT(*) FROM ORDERS_logs WHERE log_Data = 'old'")" = 0 ] || fail "retention" "old rows left"
echo "README: $ran command examples ran as written"
