# A PostgreSQL server of our own, on 127.0.0.1 only, its files in one folder: sourced by
# scripts/cluster.sh and the server benchmarks, never run. PostgreSQL refuses to run as root,
# so as root every step runs as the `postgres` user, which then owns the folder.
#
#   pg_start DIR PORT   initdb into DIR/data on first use, then start; sets pg_dir, pg_port
#   pg_uri NAME         the libpq URI of database NAME (created on first use)
#   pg_stop             stops the server pg_start started (fast shutdown)

pg_bin=${PG_BIN:-/usr/lib/postgresql/15/bin}
pg_dir=""
pg_port=""

pg_as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

pg_start() {
  pg_dir=$1
  pg_port=$2
  mkdir -p "$pg_dir"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$pg_dir"
  if [ ! -f "$pg_dir/data/PG_VERSION" ]; then
    # Trust is safe here: the server listens on loopback and a socket in a folder only its
    # owner can enter.
    pg_as_owner "$pg_bin/initdb" -D "$pg_dir/data" -U postgres -A trust -E UTF8 \
      --no-instructions >"$pg_dir/initdb.log" 2>&1 ||
      { cat "$pg_dir/initdb.log" >&2; return 1; }
    chmod 700 "$pg_dir"
  fi
  pg_as_owner "$pg_bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $pg_port -k $pg_dir -c max_connections=300" start \
    >/dev/null || { tail -n 20 "$pg_dir/server.log" >&2; return 1; }
}

pg_uri() {
  local name=$1
  if ! pg_as_owner "$pg_bin/psql" -h 127.0.0.1 -p "$pg_port" -U postgres -d postgres -tAc \
    "select 1 from pg_database where datname = '$name'" | grep -q 1; then
    pg_as_owner "$pg_bin/psql" -h 127.0.0.1 -p "$pg_port" -U postgres -d postgres -qc \
      "create database \"$name\"" >/dev/null
  fi
  echo "postgresql://postgres@127.0.0.1:$pg_port/$name"
}

pg_stop() {
  [ -n "$pg_dir" ] && [ -f "$pg_dir/data/postmaster.pid" ] &&
    pg_as_owner "$pg_bin/pg_ctl" -D "$pg_dir/data" -m fast -w stop >/dev/null 2>&1
  return 0
}
