#!/usr/bin/env bash
# with_server.sh SERVER COMMAND [ARG...]
# Starts SERVER on a free loopback port, runs COMMAND ARG... ENDPOINT and stops the
# server again on every path; exits with COMMAND's status.
set -euo pipefail
server=$1
shift
out=$(mktemp)
"$server" --port 0 --parent-pid $$ >"$out" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -f "$out"' EXIT
trap 'exit 1' INT TERM
for _ in $(seq 200); do
  grep -q '^READY' "$out" && break
  kill -0 "$pid" 2>/dev/null || { echo "with_server: the server exited before it was ready" >&2; exit 1; }
  sleep 0.05
done
port=$(sed -n 's/^READY \([0-9]*\)$/\1/p' "$out")
[ -n "$port" ] || { echo "with_server: no READY line from the server within 10 s" >&2; exit 1; }
"$@" "opc.tcp://127.0.0.1:$port"
