#!/usr/bin/env bash
# A fleet view: AGENTS agent processes (separate programs, heart beat BEAT
# seconds) against one fennic-server on loopback. After SETTLE seconds the
# steady rate is measured over STEADY seconds; then, for each outage mode in
# MODES, the server goes away for OUTAGE seconds and comes back, and the
# fleet is watched for AFTER seconds. Outage modes:
#   down             no server at all (connections refused)
#   503              a server that answers every request with 503
#   503-retry-after  the same with "Retry-After: RETRY_AFTER"
# Each mode prints one line:
#   mode=M steady_rps=S peak_rps=P peak_ratio=P/S recovery_s=T outage_rps=O outage_peak_ratio=Q
#   steady_peak_ratio=R recovery_intervals=T/BEAT back_s=B back_intervals=B/BEAT
# peak: the highest rate over WINDOW seconds in the minute after the server is
# back; recovery: seconds from its return until the rate over WINDOW seconds
# first reaches 90 % of the steady rate; outage: what the failing server saw.
# steady_peak_ratio: the same peak over the first minute of the steady span,
# the fleet's own unevenness (a few agents' beats falling together): a
# peak_ratio near it means the return added no surge of its own.
# back: seconds from the server's return until 90 % of the agents have each
# been heard from again. With a long heart beat the rate can touch 90 % while
# many agents are still away (the early ones' beats and the late ones'
# returns fall together), so back, not recovery, says when the fleet is back.
# The steady rate of each mode is measured over the STEADY seconds before
# its outage. Also printed: the agents' total anonymous memory (RssAnon),
# before the first outage and at the end.
# Environment (seconds unless said): AGENTS 200, BEAT 60, SETTLE 2*BEAT,
# STEADY 3*BEAT, OUTAGE 120, AFTER 5*BEAT, WINDOW 10, RETRY_AFTER 120,
# SPREAD (the agents' "firstHeartBeatSpreadSeconds") BEAT, JITTER (their
# "backoffJitterPercent", 0 to compare without jitter) 20, MODES "down 503
# 503-retry-after", BUILD_DIR build, NO_BUILD (set: do not build). A short
# run: AGENTS=20 BEAT=5 OUTAGE=10 STEADY=20 AFTER=30 bench/fleet.sh
# Each agent holds inotify instances (spool, login records): 200 agents need
# fs.inotify.max_user_instances above its usual 128, or the agents (and any
# test run beside them) fail to watch their files.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
agents=${AGENTS:-200}
beat=${BEAT:-60}
settle=${SETTLE:-$((2 * beat))}
steady=${STEADY:-$((3 * beat))}
outage=${OUTAGE:-120}
after=${AFTER:-$((5 * beat))}
window=${WINDOW:-10}
retry_after=${RETRY_AFTER:-120}
spread=${SPREAD:-$beat}
jitter=${JITTER:-20}
modes=${MODES:-down 503 503-retry-after}
work="$(mktemp -d)"
server_pid=""
agent_pids=()

source "$root/bench/processes.sh"
cleanup() {
  for pid in "${agent_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${agent_pids[@]}"; do stop "$pid"; done
  stop "$server_pid"
  rm -rf "$work"
}
trap cleanup EXIT

if [[ -z "${NO_BUILD:-}" ]]; then
  cmake -S "$root" -B "$build" >/dev/null
  cmake --build "$build" --target fennic-server fennic-agent -j2 >/dev/null
fi

# One tenant per agent, so the record tells the agents apart and the bench
# sees when each one is back; one token for all, so a restarted server (it
# forgets registrations) has the fleet register again once, not once per
# agent: close to a real server, which keeps them.
tenants=$(for i in $(seq "$agents"); do printf '{"id":"fleet-%d","name":"Fleet %d","token":"fleet-token"},' "$i" "$i"; done)
tenants="[${tenants%,}]"
echo "{\"tenants\":$tenants,\"heartbeat\":{\"TimeInterval\":$beat}}" >"$work/healthy.json"
echo "{\"tenants\":$tenants,\"faults\":[{\"target\":\"*\",\"action\":\"status503\",\"times\":-1}]}" >"$work/503.json"
echo "{\"tenants\":$tenants,\"faults\":[{\"target\":\"*\",\"action\":\"status503\",\"times\":-1,\
\"retryAfterSeconds\":$retry_after}]}" >"$work/503-retry-after.json"

port=0
# Starts fennic-server with scenario $1, recording to $2; the port stays the same across starts.
start_server() {
  for _ in $(seq 100); do
    : >"$work/server.out"
    "$build/server/fennic-server" --port "$port" --scenario "$work/$1.json" --record "$2" \
      >"$work/server.out" 2>>"$work/server.err" &
    server_pid=$!
    for _ in $(seq 100); do grep -q '^listening on' "$work/server.out" 2>/dev/null && break; sleep 0.05; done
    if grep -q '^listening on' "$work/server.out"; then
      port="$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out")"
      return 0
    fi
    stop "$server_pid"; server_pid=""
    sleep 0.5  # the port is still held; try again
  done
  echo "fleet: the server did not start" >&2
  exit 1
}

now_ms() { date +%s%3N; }

# Requests of record files $3... with a stamp in [$1, $2) ms.
count() {
  local from=$1 to=$2
  shift 2
  cat "$@" 2>/dev/null | grep -o '"ms":[0-9]*' | cut -d: -f2 | awk -v f="$from" -v t="$to" '$1 >= f && $1 < t' | wc -l
}

# The highest rate over $window seconds within the first $5 seconds, and the
# first second (from $1) at which the rate over the trailing window reaches $4
# requests per second, for requests from $1 to $2 ms in record $3.
peak_and_recovery() {
  grep -o '"ms":[0-9]*' "$3" | cut -d: -f2 | awk -v f="$1" -v t="$2" -v w="$window" -v goal="$4" -v span="$5" '
    $1 >= f && $1 < t { n[int(($1 - f) / 1000)]++ }
    END {
      seconds = int((t - f) / 1000); peak = 0; back = -1; sum = 0
      for (s = 0; s < seconds; s++) {
        sum += n[s]; if (s >= w) sum -= n[s - w]
        if (s >= w - 1 && s < span + w - 1 && sum / w > peak) peak = sum / w
        if (back < 0 && s >= w - 1 && sum / w >= goal) back = s + 1
      }
      printf "%.3f %s\n", peak, (back < 0 ? "none" : back)
    }'
}

# Seconds from $1 ms until $2 distinct tenants (agents) appear in record $3.
back_of() {
  awk -v f="$1" -v need="$2" '
    match($0, /"ms":[0-9]+/) {
      ms = substr($0, RSTART + 5, RLENGTH - 5) + 0
      if (ms < f || !match($0, /"tenant":"[^"]*"/)) next
      t = substr($0, RSTART, RLENGTH)
      if (!(t in seen)) { seen[t] = 1; if (++n == need) { found = int((ms - f) / 1000) + 1; exit } }
    }
    END { print (found ? found : "none") }' "$3"
}

anon_kib() {
  local total=0 kib
  for pid in "${agent_pids[@]}"; do
    kib=$(awk '/^RssAnon:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    total=$((total + ${kib:-0}))
  done
  echo "$total"
}

start_server healthy "$work/record.0.jsonl"
for i in $(seq "$agents"); do
  a="$work/agent.$i"
  mkdir -p "$a/data" "$a/downloads"
  cat >"$a/agent.json" <<JSON
{"server": "http://127.0.0.1:$port", "tenantId": "fleet-$i", "dataFolder": "$a/data", "downloadFolder": "$a/downloads",
 "heartBeatSeconds": $beat, "logLevel": 4, "supportedProducts": ["P100"], "firstHeartBeatSpreadSeconds": $spread,
 "backoffJitterPercent": $jitter}
JSON
  nice -n 10 "$build/agent/fennic-agent" --config "$a/agent.json" >/dev/null 2>&1 &
  agent_pids+=($!)
done
echo "fleet: agents=$agents beat_s=$beat outage_s=$outage window_s=$window spread_s=$spread"
sleep "$settle"

round=0
for mode in $modes; do
  round=$((round + 1))
  from=$(now_ms)
  sleep "$steady"
  to=$(now_ms)
  steady_rps=$(count "$from" "$to" "$work/record.$((round - 1)).jsonl" | awk -v s="$steady" '{printf "%.3f", $1 / s}')
  [[ $round -eq 1 ]] && echo "fleet: agents_rss_anon_kib=$(anon_kib) (before the first outage)"
  stop "$server_pid"; server_pid=""
  out_from=$(now_ms)
  [[ $mode != down ]] && start_server "$mode" "$work/outage.$round.jsonl"
  sleep "$outage"
  stop "$server_pid"; server_pid=""
  out_to=$(now_ms)
  start_server healthy "$work/record.$round.jsonl"
  back=$(now_ms)
  sleep "$after"
  goal=$(awk -v s="$steady_rps" 'BEGIN {printf "%.4f", 0.9 * s}')
  read -r peak recovery < <(peak_and_recovery "$back" "$(now_ms)" "$work/record.$round.jsonl" "$goal" 60)
  read -r steady_peak _ < <(peak_and_recovery "$from" "$to" "$work/record.$((round - 1)).jsonl" 1e9 60)
  fleet_back=$(back_of "$back" $(((agents * 9 + 9) / 10)) "$work/record.$round.jsonl")
  outage_rps=0; outage_peak=0
  if [[ $mode != down ]]; then
    outage_rps=$(count "$out_from" "$out_to" "$work/outage.$round.jsonl" | awk -v s="$outage" '{printf "%.3f", $1 / s}')
    read -r outage_peak _ < <(peak_and_recovery "$out_from" "$out_to" "$work/outage.$round.jsonl" 1e9 "$outage")
  fi
  awk -v m="$mode" -v s="$steady_rps" -v p="$peak" -v r="$recovery" -v o="$outage_rps" -v op="$outage_peak" \
    -v sp="$steady_peak" -v b="$beat" -v fb="$fleet_back" 'BEGIN {
    printf "mode=%s steady_rps=%s peak_rps=%s peak_ratio=%.2f recovery_s=%s outage_rps=%s outage_peak_ratio=%.2f",
      m, s, p, (s > 0 ? p / s : 0), r, o, (s > 0 ? op / s : 0)
    printf " steady_peak_ratio=%.2f recovery_intervals=%s", (s > 0 ? sp / s : 0), (r == "none" ? "none" : sprintf("%.2f", r / b))
    printf " back_s=%s back_intervals=%s\n", fb, (fb == "none" ? "none" : sprintf("%.2f", fb / b)) }'
done
echo "fleet: agents_rss_anon_kib=$(anon_kib) (at the end)"
alive=0
for pid in "${agent_pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=$((alive + 1)); done
echo "fleet: agents_alive=$alive of $agents"
