#!/usr/bin/env bash
# Checks the agent's service files as `cmake --install` lays them out (the
# Debian packages take the same rules): installs the build into a scratch
# prefix, checks the files and their modes, verifies the unit and holds its
# sandbox to an exposure of 5.0 or lower, then runs the installed agent
# against the local management server: one pass, then as a service with its
# control socket. The packages themselves are checked in CI
# (packaging/check_debian_packages.sh).
#   check_service_package.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$2
source_dir=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "package: $*" >&2; exit 1; }

rm -rf "$work" && mkdir -p "$work"
# Under DESTDIR: a build configured for /usr installs to /etc and /var,
# which must stay inside the scratch folder too.
root="$work/dest/opt/fennic"
DESTDIR="$work/dest" cmake --install "$build" --prefix /opt/fennic >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install failed"; }

while read -r mode path; do
  [[ -e "$root/$path" ]] || fail "$path is not installed"
  actual=$(stat -c %a "$root/$path")
  [[ "$actual" == "$mode" ]] || fail "$path has mode $actual, expected $mode"
done <<'LIST'
755 bin/fennic-agent
644 lib/systemd/system/fennic-agent.service
644 etc/fennic/agent.json
700 var/lib/fennic
700 var/cache/fennic
LIST
if command -v scdoc >/dev/null; then
  [[ -s "$root/share/man/man8/fennic-agent.8" ]] || fail "the manual page is not installed"
fi

command -v systemd-analyze >/dev/null || fail "systemd-analyze is missing (package systemd)"
# The unit names the installed path; point it at the unpacked binary.
mkdir -p "$work/unit"
sed "s|/usr/bin/fennic-agent|$root/bin/fennic-agent|" "$root/lib/systemd/system/fennic-agent.service" \
  >"$work/unit/fennic-agent.service"
systemd-analyze verify --man=no "$work/unit/fennic-agent.service" || fail "systemd-analyze verify failed"
# The sandbox: what the agent and its installers need, and no more.
systemd-analyze security --offline=true --threshold=50 "$work/unit/fennic-agent.service" >"$work/security.log" 2>&1 ||
  { cat "$work/security.log" >&2; fail "the unit's exposure is above 5.0"; }
grep 'Overall exposure level' "$work/security.log"

agent="$root/bin/fennic-agent"
"$agent" --version | grep -qx "fennic-agent [0-9.]*" || fail "--version"

"$build/server/fennic-server" --scenario "$source_dir/server/scenarios/demo.json" \
  --packages "$build/server/packages" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
trap 'kill "$server_pid" "${agent_pid:-}" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q '^listening on' "$work/server.out" 2>/dev/null && break
  sleep 0.05
done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out")
[[ -n "$port" ]] || fail "the server did not start"

# The shipped example, pointed at the local server and the scratch folders.
sed -e "s|https://fennic-server.example|http://127.0.0.1:$port|" -e 's|your-tenant-id|demo-tenant|' \
  -e "s|/var/|$work/var/|" -e "s|^{\$|{ \"controlSocket\": \"$work/agent.sock\",|" -e 's|"heartBeatSeconds": 300|"heartBeatSeconds": 1, "firstHeartBeatSpreadSeconds": 0|' \
  "$root/etc/fennic/agent.json" >"$work/agent.json"
timeout 120 "$agent" --config "$work/agent.json" --once >"$work/once.out" 2>&1 ||
  { cat "$work/once.out" >&2; fail "the unpacked agent's pass failed"; }

"$agent" --config "$work/agent.json" >"$work/service.out" 2>&1 &
agent_pid=$!
for _ in $(seq 200); do
  [[ -S "$work/agent.sock" ]] && break
  sleep 0.05
done
timeout 60 "$agent" ctl --socket "$work/agent.sock" --wait 6 --timeout 30 heartbeat >"$work/ctl.out" 2>&1 ||
  { cat "$work/ctl.out" "$work/service.out" >&2; fail "ctl heartbeat"; }
timeout 10 "$agent" ctl --socket "$work/agent.sock" status >>"$work/ctl.out" 2>&1 || fail "ctl status"
grep -q "registered: yes" "$work/ctl.out" || { cat "$work/ctl.out" >&2; fail "ctl status did not show a registered agent"; }
kill -TERM "$agent_pid"
for _ in $(seq 100); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.05; done
kill -0 "$agent_pid" 2>/dev/null && fail "the agent did not stop on SIGTERM"
echo "package: done"
