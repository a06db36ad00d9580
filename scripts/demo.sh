#!/usr/bin/env bash
# The whole chain on one machine: builds everything, starts fennic-server on
# a free loopback port with the demo scenario, runs one pass of fennic-agent
# against it (registration, directory queries answered from NSS, downloads,
# the demo installer flashing a package into a fake device folder with its
# status report, a call-duration file from the spool, the softphone list and
# user details), asks for a voice-prompt version, then runs the agent on a
# umockdev testbed where a USB headset is plugged in and out. It prints what
# happened, stops the server and ends with one summary line counted from the
# server's record. Every package is signed at run time with a throw-away
# minisign key that the agent requires; one is altered after signing and is
# refused with its reason while the others install.
#
# Without umockdev (no fennic-devicebed built) the device step has no stand-in
# device to plug: the demo says so and the plug and unplug counts stay 0; the
# agent's device inventory of the real machine is still sent.
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

echo "== signing the demo packages with a throw-away publisher key"
command -v minisign >/dev/null || { echo "demo: minisign is not installed (apt-get install minisign)"; exit 1; }
mkdir -p "$work/packages" "$work/keys"
cp "$build/server/packages"/*.bin "$work/packages/"
minisign -G -W -f -p "$work/keys/vendor.pub" -s "$work/keys/vendor.key" >/dev/null
for package in "$work/packages"/*.bin; do
  minisign -S -s "$work/keys/vendor.key" -m "$package" >/dev/null
done
# One package is altered after it was signed: the agent must refuse it.
printf 'X' | dd of="$work/packages/fw-p200-1.4.2.bin" bs=1 seek=1000 conv=notrunc status=none
echo "   key $(sed -n 's/^untrusted comment: minisign public key //p' "$work/keys/vendor.pub");" \
  "signed: $(cd "$work/packages" && ls *.minisig | tr '\n' ' ')"
echo "   altered after signing: fw-p200-1.4.2.bin"

echo "== starting fennic-server with server/scenarios/demo.json"
"$server" --scenario "$root/server/scenarios/demo.json" --packages "$work/packages" \
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

mkdir -p "$work/data" "$work/downloads" "$work/spool" "$work/devices"
# The host's sources: the directory user, USB vendor 1209 (the test ids),
# a call-duration file waiting in the spool, the softphone list, and the
# demo installer for P100 packages.
printf '{"Calls": [{"Device": "Desk Headset", "DurationSeconds": 754}]}\n' >"$work/spool/calls-0001.json"
printf '{"Softphones": [{"Name": "Demo Dialer", "Version": "4.1"}]}\n' >"$work/softphones.json"
cat >"$work/agent.json" <<JSON
{
  "server": "http://127.0.0.1:$port",
  "tenantId": "demo-tenant",
  "dataFolder": "$work/data",
  "downloadFolder": "$work/downloads",
  "heartBeatSeconds": 300,
  "firstHeartBeatSpreadSeconds": 0,
  "logLevel": 2,
  "supportedProducts": ["P100", "P200"],
  "sessionUser": "root",
  "usbVendorIds": ["1209"],
  "callDurationSpool": "$work/spool",
  "softphoneListFile": "$work/softphones.json",
  "userDetails": {"Site": "Demo office"},
  "packageSignatures": {"publicKeys": ["$work/keys/vendor.pub"], "policy": "require"},
  "installers": [{"product": "P100", "deviceId": "HS-0001", "timeoutSeconds": 30,
                  "command": ["$root/server/scenarios/flash-installer.sh", "$work/devices"]}]
}
JSON

echo "== running fennic-agent --once"
set +e
# AGENT_WRAPPER runs the agent under a checker (CI uses valgrind memcheck).
timeout 300 ${AGENT_WRAPPER:-} "$agent" --config "$work/agent.json" --once >"$work/agent.out" 2>&1
agent_rc=$?
set -e
# The agent's own account: events, configuration, download progress.
grep -E 'event|Download progress|Downloaded|registered|heart beat|update check|configuration|acknowledg|flash|signature' -i \
  "$work/agent.out" | sed 's/^/   agent: /' || true
ls "$work/devices"/*/firmware.bin 2>/dev/null | sed "s|^$work/|   flashed: |" || true
# Installers run on what the transport put in the package store.
grep -q '"type":"7"' "$work/record.jsonl" ||
  echo "   no installer ran: the package store $work/data/packages held no verified package"

echo "== fennic-agent --vp-version"
timeout 60 "$agent" --config "$work/agent.json" --vp-version VP-EN "Desk Headset" 1.0 2>"$work/vp.err" |
  sed 's/^/   agent: /' || cat "$work/vp.err"

devicebed="$build/server/fennic-devicebed"
if [[ "$agent_rc" == 0 && -x "$devicebed" ]]; then
  echo "== fennic-agent on a umockdev testbed: a USB headset plugged in and out"
  timeout 120 "$devicebed" --record "$work/record.jsonl" --device 1209:00a1:HS-0001 -- \
    "$agent" --config "$work/agent.json" >"$work/devicebed.out" 2>&1 || agent_rc=$?
  grep -E '^devicebed|event (13|17)' "$work/devicebed.out" | sed 's/^/   /' || true
  [[ "$agent_rc" == 0 ]] || tail -20 "$work/devicebed.out"
elif [[ ! -x "$devicebed" ]]; then
  echo "== no device plugged: umockdev is not installed (apt-get install umockdev libumockdev-dev)"
fi

echo "== fennic-agent as a service, asked through its control socket"
sed "s|\"logLevel\": 2,|\"logLevel\": 2, \"controlSocket\": \"$work/agent.sock\",|" "$work/agent.json" >"$work/service.json"
"$agent" --config "$work/service.json" >"$work/service.out" 2>&1 &
service_pid=$!
for _ in $(seq 100); do [[ -S "$work/agent.sock" ]] && break; sleep 0.05; done
timeout 30 "$agent" ctl --socket "$work/agent.sock" --wait 6,7 heartbeat >/dev/null || true
timeout 10 "$agent" ctl --socket "$work/agent.sock" status | sed 's/^/   ctl: /' || true
kill -TERM "$service_pid" 2>/dev/null || true
wait "$service_pid" 2>/dev/null || true

echo "== what the server saw"
"$server" --chain "$work/record.jsonl" | sed 's/^/   server: /'

kill -TERM "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=""
echo "== server stopped; agent exit code $agent_rc"
"$server" --summary "$work/record.jsonl"
exit "$agent_rc"
