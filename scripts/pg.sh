#!/usr/bin/env bash
# Starts a throwaway PostgreSQL 15 on 127.0.0.1, owned by a non-root user,
# with its data under build/, and registers the test data source
# "TallyquillPG" in build/odbc.ini. Prints shell exports for the tests.
#   scripts/pg.sh start | stop
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
port="${TQ_PG_PORT:-55432}"
bindir=/usr/lib/postgresql/15/bin
state="$build/pg.env"

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    su -s /bin/sh postgres -c "$*"
  else
    sh -c "$*"
  fi
}

start() {
  mkdir -p "$build"
  data="$build/pg"
  # The server's user must reach the data directory; fall back to /tmp when
  # the checkout lies somewhere it cannot enter.
  if [ "$(id -u)" -eq 0 ] && ! su -s /bin/sh postgres -c "test -x '$build'" 2>/dev/null; then
    data="$(mktemp -d /tmp/tallyquill-pg.XXXXXX)"
  fi
  if [ -f "$state" ]; then stop || true; fi
  rm -rf "$data"; mkdir -p "$data"
  [ "$(id -u)" -eq 0 ] && chown postgres:postgres "$data"
  as_owner "$bindir/initdb -D '$data' -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 >/dev/null"
  as_owner "$bindir/pg_ctl -D '$data' -w -l '$data/server.log' -o \"-p $port -k '$data' -c listen_addresses=127.0.0.1 -c fsync=off\" start >/dev/null"
  # For tests that take the server away and bring it back (data kept).
  cat > "$build/pg-halt.sh" <<SH
#!/bin/sh
$(declare -f as_owner | sed 's/^/ /')
as_owner "$bindir/pg_ctl -D '$data' -w -m fast stop >/dev/null"
SH
  cat > "$build/pg-resume.sh" <<SH
#!/bin/sh
$(declare -f as_owner | sed 's/^/ /')
as_owner "$bindir/pg_ctl -D '$data' -w -l '$data/server.log' -o \\"-p $port -k '$data' -c listen_addresses=127.0.0.1 -c fsync=off\\" start >/dev/null"
SH
  chmod +x "$build/pg-halt.sh" "$build/pg-resume.sh"
  psql=( "$bindir/psql" -h 127.0.0.1 -p "$port" -U postgres -v ON_ERROR_STOP=1 -q )
  "${psql[@]}" -c "CREATE ROLE tallyquill LOGIN SUPERUSER" -c "CREATE DATABASE tallyquill OWNER tallyquill"
  # psqlODBC given an empty UID falls back to the operating-system user.
  me="$(id -un)"
  [ "$me" = tallyquill ] || [ "$me" = postgres ] || "${psql[@]}" -c "CREATE ROLE \"$me\" LOGIN SUPERUSER"
  # Drivers registered for the tests alone: Debian's template turns on a
  # psqlODBC log file in /tmp for every process, whatever the DSN says.
  cat > "$build/odbcinst.ini" <<INI
[PostgreSQL Unicode]
Description=PostgreSQL ODBC driver (Unicode version)
Driver=psqlodbcw.so
Setup=libodbcpsqlS.so
Debug=0
CommLog=0

[SQLite3]
Description=SQLite3 ODBC Driver
Driver=libsqlite3odbc.so
Setup=libsqlite3odbc.so
INI
  cat > "$build/odbc.ini" <<INI
[TallyquillPG]
Driver=PostgreSQL Unicode
Description=Tallyquill test server
Servername=127.0.0.1
Port=$port
Database=tallyquill
Username=tallyquill
UseDeclareFetch=1
Fetch=100
CommLog=0
Debug=0
INI
  cat > "$state" <<ENV
export ODBCINI='$build/odbc.ini'
export ODBCSYSINI='$build'
export TQ_PG_DSN=TallyquillPG
export TQ_PG_DATA='$data'
export TQ_PG_STOP='$build/pg-halt.sh'
export TQ_PG_START='$build/pg-resume.sh'
export TQ_PG_RESTART="$( [ "$(id -u)" -eq 0 ] && echo "su -s /bin/sh postgres -c \\\"$bindir/pg_ctl -D '$data' -w -m fast restart >/dev/null\\\"" || echo "$bindir/pg_ctl -D '$data' -w -m fast restart >/dev/null")"
ENV
  cat "$state"
}

stop() {
  [ -f "$state" ] || return 0
  # shellcheck disable=SC1090
  . "$state"
  as_owner "$bindir/pg_ctl -D '$TQ_PG_DATA' -w -m immediate stop >/dev/null" || true
  rm -f "$state"
}

case "${1:-start}" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop" >&2; exit 64 ;;
esac
