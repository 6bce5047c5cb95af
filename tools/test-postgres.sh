#!/usr/bin/env bash
# A PostgreSQL 15 of the tests' own, in a directory of its own, reached only through a
# Unix socket there (no TCP port is opened):
#   tools/test-postgres.sh start DIR   prints the libpq URI of its database "postgres" (a
#                                      database stopped in DIR before starts again)
#   tools/test-postgres.sh stop DIR
# PostgreSQL refuses to run as root: run by root, the server runs as the system user
# serwer-test (made when missing), which then owns DIR.
set -euo pipefail
bin=/usr/lib/postgresql/15/bin
action=${1:?start or stop}
dir=$(realpath -m "${2:?a directory}")
as_user() { if [ "$(id -u)" -eq 0 ]; then runuser -u serwer-test -- "$@"; else "$@"; fi; }

case "$action" in
  start)
    [ -x "$bin/initdb" ] || { echo "PostgreSQL 15 is missing: tools/install-packages.sh postgresql-15" >&2; exit 1; }
    mkdir -p "$dir"
    if [ "$(id -u)" -eq 0 ]; then
      id serwer-test >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin serwer-test
      chown serwer-test "$dir"
    fi
    # A directory that already holds a database (stopped before) is started again.
    [ -d "$dir/data" ] || as_user "$bin/initdb" -D "$dir/data" -A trust -U postgres -E UTF8 --no-sync \
      >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    as_user "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-k $dir -c listen_addresses= -c fsync=off -c max_connections=200" start >/dev/null ||
      { cat "$dir/server.log" >&2; exit 1; }
    echo "postgresql:///postgres?host=$dir&user=postgres"
    ;;
  stop)
    [ -d "$dir/data" ] && as_user "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
    ;;
  *) echo "start or stop" >&2; exit 2 ;;
esac
