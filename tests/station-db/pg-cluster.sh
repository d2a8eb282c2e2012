#!/usr/bin/env bash
# A throw-away PostgreSQL server for the unit-record database's tests and benchmark.
#
#   pg-cluster.sh start STATEFILE    a new server in a temporary folder under /tmp
#   pg-cluster.sh pause STATEFILE    stops that server, keeping its folder
#   pg-cluster.sh resume STATEFILE   starts it again on the same folder
#   pg-cluster.sh stop STATEFILE     stops it and removes its folder (nothing to do is no error)
#
# The server listens on no TCP address, only on a Unix socket in its own folder, and takes only
# scram-sha-256 password logins of its superuser "varnak" (password drawn at start). STATEFILE
# gets the lines
#   dir=FOLDER
#   url=postgresql://varnak:PASSWORD@/postgres?host=FOLDER
#   wrongpassword_url=postgresql://varnak:WRONG@/postgres?host=FOLDER
#   password=PASSWORD
# `start` first stops a server an earlier run left behind in STATEFILE (a killed test run), so
# that they do not pile up. initdb refuses to run as root: then the server runs as "nobody",
# which owns its folder.
set -euo pipefail

usage() {
    echo "usage: pg-cluster.sh start|stop|pause|resume STATEFILE" >&2
    exit 2
}
[ $# -eq 2 ] || usage
command=$1
state=$2

# The newest PostgreSQL installed the Debian way (/usr/lib/postgresql/VERSION/bin).
pg_bin() {
    local bin
    bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
    if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
        echo "pg-cluster.sh: no PostgreSQL server is installed (Debian package postgresql)" >&2
        return 1
    fi
    echo "$bin"
}

# Runs a command as the server's owner: this user, or nobody when this user is root.
as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups -- "$@"
    else
        "$@"
    fi
}

# The folder STATEFILE names, if it is one this script made.
state_dir() {
    [ -f "$state" ] || return 0
    local dir
    dir=$(sed -n 's/^dir=//p' "$state" | head -1)
    case $dir in
        /tmp/varnak-pg.*) [ -d "$dir" ] && echo "$dir" ;;
    esac
    return 0
}

server_running() {
    local bin=$1 dir=$2
    [ -f "$dir/data/postmaster.pid" ] && (cd "$dir" && as_owner "$bin/pg_ctl" -D "$dir/data" status >/dev/null 2>&1)
}

stop_server() {
    local dir=$1 bin
    bin=$(pg_bin) || bin=""
    if [ -n "$bin" ] && server_running "$bin" "$dir"; then
        (cd "$dir" && as_owner "$bin/pg_ctl" -D "$dir/data" stop -m fast -w -t 30 >/dev/null 2>&1) ||
            (cd "$dir" && as_owner "$bin/pg_ctl" -D "$dir/data" stop -m immediate -w -t 30 >/dev/null 2>&1) ||
            true
    fi
    # A server that would not stop (or a binary gone missing): end the postmaster by its id.
    if [ -f "$dir/data/postmaster.pid" ]; then
        local pid
        pid=$(head -1 "$dir/data/postmaster.pid" 2>/dev/null || true)
        if [[ $pid =~ ^[0-9]+$ ]] && [ -r "/proc/$pid/cmdline" ] &&
            tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "$dir/data"; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
}

start_server() {
    local bin=$1 dir=$2
    if ! (cd "$dir" && as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null); then
        echo "pg-cluster.sh: the server in $dir did not start:" >&2
        tail -20 "$dir/server.log" >&2 2>/dev/null || true
        return 1
    fi
}

case $command in
    start)
        bin=$(pg_bin)
        old=$(state_dir)
        if [ -n "$old" ]; then
            stop_server "$old"
            rm -rf "$old"
        fi
        rm -f "$state"
        dir=$(mktemp -d /tmp/varnak-pg.XXXXXX)
        # Named in the state file from the start, so that a start killed half-way is cleaned
        # up by the next start or stop.
        echo "dir=$dir" >"$state"
        cleanup() {
            stop_server "$dir"
            rm -rf "$dir"
            rm -f "$state"
        }
        trap cleanup ERR
        password=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
        printf '%s\n' "$password" >"$dir/password"
        chmod 600 "$dir/password"
        if [ "$(id -u)" -eq 0 ]; then
            chown -R "$(id -u nobody):$(id -g nobody)" "$dir"
        fi
        if ! (cd "$dir" && as_owner "$bin/initdb" -D "$dir/data" -U varnak --pwfile="$dir/password" \
                --auth=scram-sha-256 -E UTF8 --no-locale --no-sync >"$dir/initdb.log" 2>&1); then
            echo "pg-cluster.sh: initdb failed:" >&2
            cat "$dir/initdb.log" >&2
            false
        fi
        rm -f "$dir/password"
        cat >>"$dir/data/postgresql.conf" <<CONF

# A throw-away server for tests: its own socket only, no TCP.
listen_addresses = ''
unix_socket_directories = '$dir'
password_encryption = scram-sha-256
max_connections = 200
CONF
        start_server "$bin" "$dir"
        trap - ERR
        {
            echo "dir=$dir"
            echo "url=postgresql://varnak:$password@/postgres?host=$dir"
            echo "wrongpassword_url=postgresql://varnak:not-$password@/postgres?host=$dir"
            echo "password=$password"
        } >"$state.tmp"
        mv "$state.tmp" "$state"
        ;;
    pause)
        dir=$(state_dir)
        [ -n "$dir" ] || { echo "pg-cluster.sh: no server in $state" >&2; exit 1; }
        bin=$(pg_bin)
        (cd "$dir" && as_owner "$bin/pg_ctl" -D "$dir/data" stop -m fast -w -t 30 >/dev/null)
        ;;
    resume)
        dir=$(state_dir)
        [ -n "$dir" ] || { echo "pg-cluster.sh: no server in $state" >&2; exit 1; }
        start_server "$(pg_bin)" "$dir"
        ;;
    stop)
        dir=$(state_dir)
        if [ -n "$dir" ]; then
            stop_server "$dir"
            rm -rf "$dir"
        fi
        rm -f "$state" "$state.tmp"
        ;;
    *)
        usage
        ;;
esac
