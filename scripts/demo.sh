#!/usr/bin/env bash
# The whole chain on one machine: builds everything, starts fennic-server on
# a free loopback port with the demo scenario, runs one pass of fennic-agent
# against it, prints what happened, stops the server and ends with one
# summary line counted from the server's record.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
work="$(mktemp -d)"
server_pid=""
cleanup() {
  if [[ -n "$server_pid" ]] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== building ($build)"
cmake -S "$root" -B "$build" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" >"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; exit 1; }

server="$build/server/fennic-server"
agent="$build/agent/fennic-agent"
[[ -x "$agent" ]] || { echo "demo: fennic-agent was not built"; exit 1; }

echo "== starting fennic-server with server/scenarios/demo.json"
"$server" --scenario "$root/server/scenarios/demo.json" --packages "$build/server/packages" \
  --record "$work/record.jsonl" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 100); do
  grep -q '^listening on' "$work/server.out" 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.05
done
port="$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out")"
[[ -n "$port" ]] || { echo "demo: the server did not start"; cat "$work/server.err"; exit 1; }
echo "   listening on 127.0.0.1:$port"

mkdir -p "$work/data" "$work/downloads"
cat >"$work/agent.json" <<JSON
{
  "server": "http://127.0.0.1:$port",
  "tenantId": "demo-tenant",
  "dataFolder": "$work/data",
  "downloadFolder": "$work/downloads",
  "heartBeatSeconds": 300,
  "logLevel": 2,
  "supportedProducts": ["P100", "P200"]
}
JSON

echo "== running fennic-agent --once"
set +e
# AGENT_WRAPPER runs the agent under a checker (CI uses valgrind memcheck).
timeout 300 ${AGENT_WRAPPER:-} "$agent" --config "$work/agent.json" --once >"$work/agent.out" 2>&1
agent_rc=$?
set -e
# The agent's own account: events, configuration, download progress.
grep -E 'event|Download progress|Downloaded|registered|heart beat|update check|configuration|acknowledg' -i \
  "$work/agent.out" | sed 's/^/   agent: /' || true

echo "== what the server saw"
"$server" --chain "$work/record.jsonl" | sed 's/^/   server: /'

kill -TERM "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=""
echo "== server stopped; agent exit code $agent_rc"
"$server" --summary "$work/record.jsonl"
exit "$agent_rc"
