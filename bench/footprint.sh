#!/usr/bin/env bash
# The idle agent's footprint against the local server: starts fennic-server
# on loopback, runs fennic-agent until it has registered and settled, then
# watches it for IDLE_SECONDS (default 60). Prints one "name value" line each:
#   threads            threads of the idle agent
#   thread_names       their names, comma-separated
#   rss_anon_kib       the memory the agent owns: heap, stacks, written data
#                      (what the machine pays for; the goal is at most 3 MB)
#   pss_kib            proportional set: own pages, plus shared pages divided by
#                      the number of processes that map them
#   pss_anon_kib       of which anonymous
#   rss_kib            resident memory, shared library pages included; those are
#                      clean page cache that the kernel reclaims under pressure
#   floor_anon_kib     anonymous memory of rss_floor, which only loads and starts the
#                      shared libraries the agent needs (HTTP, JSON, crypto, logging,
#                      systemd, udev), measured in the same run
#   floor_pss_kib      its proportional set
#   anon_over_floor_kib the agent's own share: rss_anon_kib - floor_anon_kib
#   cpu_ticks          user + system clock ticks spent over the idle window
#   wakeups            context switches of all its threads over the window
#   wakeups_per_beat   the same per heart beat (all of them, when the agent
#                      wakes for nothing but heart beats)
#   heart_beats        heart beats the server saw in the window
#   files_per_beat     data-folder files (re)written per heart beat
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
idle="${IDLE_SECONDS:-60}"
beat="${HEART_BEAT_SECONDS:-20}"
work="$(mktemp -d)"
server_pid=""; agent_pid=""; floor_pid=""
source "$root/bench/processes.sh"
cleanup() { stop "$floor_pid"; stop "$agent_pid"; stop "$server_pid"; rm -rf "$work"; }
trap cleanup EXIT

if [[ -z "${NO_BUILD:-}" ]]; then
  cmake -S "$root" -B "$build" >/dev/null
  cmake --build "$build" --target fennic-server fennic-agent rss_floor -j2 >/dev/null
fi

# The demo scenario, with the tenant's heart-beat interval set to $beat.
sed "s/\"TimeInterval\": *[0-9]*/\"TimeInterval\": $beat/" "$root/server/scenarios/demo.json" >"$work/scenario.json"
"$build/server/fennic-server" --scenario "$work/scenario.json" --packages "$build/server/packages" \
  --record "$work/record.jsonl" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 100); do grep -q '^listening on' "$work/server.out" 2>/dev/null && break; sleep 0.05; done
port="$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out")"
[[ -n "$port" ]] || { echo "footprint: the server did not start" >&2; exit 1; }

mkdir -p "$work/data" "$work/downloads"
cat >"$work/agent.json" <<JSON
{"server": "http://127.0.0.1:$port", "tenantId": "demo-tenant", "dataFolder": "$work/data",
 "downloadFolder": "$work/downloads", "heartBeatSeconds": $beat, "logLevel": 2,
 "supportedProducts": ["P100", "P200"]}
JSON
"$build/agent/fennic-agent" --config "$work/agent.json" >"$work/agent.out" 2>&1 &
agent_pid=$!

# Settled: the first update check has ended (the server has seen the
# download acknowledgements), bounded by 60 s; then a moment of quiet.
for _ in $(seq 600); do
  kill -0 "$agent_pid" 2>/dev/null || { echo "footprint: the agent stopped" >&2; tail -5 "$work/agent.out" >&2; exit 1; }
  grep -q '"type":"11"' "$work/record.jsonl" 2>/dev/null && break
  sleep 0.1
done
sleep 3

snapshot() { find "$work/data" -type f -printf '%i %T@ %p\n' | sort; }
ticks() { awk '{print $14 + $15}' "/proc/$agent_pid/stat"; }
switches() { cat /proc/"$agent_pid"/task/*/status | awk '/ctxt_switches:/{n += $2} END{print n}'; }
beats() { grep -c '"type":"3"' "$work/record.jsonl" || true; }

"$build/agent/rss_floor" >"$work/floor.out" 2>&1 &
floor_pid=$!
snapshot >"$work/before"
t0=$(ticks); b0=$(beats); w0=$(switches)
sleep "$idle"
t1=$(ticks); b1=$(beats); w1=$(switches)
snapshot >"$work/after"

threads=$(awk '/^Threads:/{print $2}' "/proc/$agent_pid/status")
names=$(cat /proc/"$agent_pid"/task/*/comm | sort | uniq -c | awk '{printf "%s%s*%s", (NR>1?",":""), $2, $1}')
rss=$(awk '/^VmRSS:/{print $2}' "/proc/$agent_pid/status")
changed=$(comm -13 "$work/before" "$work/after" | wc -l)
n=$((b1 - b0))
echo "threads $threads"
echo "thread_names $names"
anon=$(awk '/^RssAnon:/{print $2}' "/proc/$agent_pid/status")
floor=$(awk '/^RssAnon:/{print $2}' "/proc/$floor_pid/status")
echo "rss_anon_kib $anon"
awk '/^Pss:/{print "pss_kib", $2} /^Pss_Anon:/{print "pss_anon_kib", $2}' "/proc/$agent_pid/smaps_rollup"
echo "rss_kib $rss"
echo "floor_anon_kib $floor"
awk '/^Pss:/{print "floor_pss_kib", $2}' "/proc/$floor_pid/smaps_rollup"
echo "anon_over_floor_kib $((anon - floor))"
echo "cpu_ticks $((t1 - t0))"
echo "wakeups $((w1 - w0))"
awk -v w="$((w1 - w0))" -v n="$n" 'BEGIN{printf "wakeups_per_beat %s\n", (n > 0 ? sprintf("%.1f", w / n) : "n/a")}'
echo "heart_beats $n"
awk -v c="$changed" -v n="$n" 'BEGIN{printf "files_per_beat %s\n", (n > 0 ? sprintf("%.1f", c / n) : "n/a")}'
