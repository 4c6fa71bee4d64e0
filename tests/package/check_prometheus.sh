#!/bin/bash
# The metrics as a real Prometheus server takes them: the server with its
# endpoint on a free loopback port and a player logged in, scraped every
# second by Debian's prometheus until its query API gives gameserver_players
# 1; and what /metrics serves passes promtool's lint without a remark.
# Exits 77 (skipped) where prometheus or promtool is missing.
# Usage: check_prometheus.sh PROGRAM SERVICE_PEER BUILD_DIR
set -euo pipefail
program=$1 peer=$2 build=$3
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "skipped: $*" >&2; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }
# Its log: build/package-logs/prometheus.log.
. "$here/check_log.sh" "$build" prometheus "$@"

command -v prometheus >/dev/null || skip "prometheus is not installed (scripts/install-deps prometheus)"
command -v promtool >/dev/null || skip "promtool is not installed (scripts/install-deps prometheus)"

scratch=$(mktemp -d "$build/prometheus-check.XXXXXX")
pids=()
check_state() {
  for f in server.out client.out prometheus.log; do
    echo "-- $f"
    tail -n 30 "$scratch/$f" 2>/dev/null || true
  done
}
check_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}

# within SECONDS COMMAND...: true once the command succeeds, tried every 0.2 s.
within() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}

# The body of GET PATH from the endpoint, without the head.
http_get() {
  local answer
  exec 3<>"/dev/tcp/127.0.0.1/$http_port" || return 1
  printf 'GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' "$1" >&3
  answer=$(cat <&3)
  exec 3<&-
  [[ $answer == "HTTP/1.1 200 "* ]] || return 1
  printf '%s\n' "${answer#*$'\r\n\r\n'}"
}

read -r game_port http_port prometheus_port < <("$peer" ports 3 | xargs)
[ -n "$prometheus_port" ] || fail "no free ports"

GAMESERVER_HTTP_ADDRESS=127.0.0.1:$http_port "$program" -onlylan -port "$game_port" \
  </dev/null >"$scratch/server.out" 2>&1 &
pids+=($!)
within 15 grep -q "^Waiting for connections on port $game_port" "$scratch/server.out" ||
  fail "the server did not start listening"
grep -qxF "Health and metrics on http://127.0.0.1:$http_port/" "$scratch/server.out" || fail "no endpoint line"

# The player stays until the server says bye or a minute has passed.
"$peer" client "$game_port" alice bye >"$scratch/client.out" 2>&1 &
pids+=($!)
within 15 grep -qx "logged in" "$scratch/client.out" || fail "the player did not log in"

within 15 http_get /metrics >"$scratch/metrics" || fail "no metrics from the endpoint"
lint=$(promtool check metrics <"$scratch/metrics" 2>&1) || fail "promtool check metrics: $lint"
[ -z "$lint" ] || fail "promtool check metrics remarks: $lint"
echo "promtool check metrics: no remarks"

cat >"$scratch/prometheus.yml" <<YAML
global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: gameserver
    static_configs:
      - targets: ['127.0.0.1:$http_port']
YAML
prometheus --config.file="$scratch/prometheus.yml" --storage.tsdb.path="$scratch/tsdb" \
  --web.listen-address="127.0.0.1:$prometheus_port" >"$scratch/prometheus.log" 2>&1 &
pids+=($!)

players() {
  promtool query instant "http://127.0.0.1:$prometheus_port" gameserver_players 2>/dev/null |
    grep -q 'job="gameserver".* => 1 @'
}
within 90 players || fail "Prometheus did not come to gameserver_players 1"
up=$(promtool query instant "http://127.0.0.1:$prometheus_port" 'up{job="gameserver"}')
[[ $up == *" => 1 @"* ]] || fail "the scrape target is not up: $up"
echo "Prometheus scraped gameserver_players 1"
