#!/usr/bin/env bash
# The packages under a real service manager: boots a minimal Debian in a
# container (systemd-nspawn --boot, sharing the host's network, so the local
# management server on the host's loopback is reachable), installs the
# packages there and checks the service as an administrator meets it:
#  - the install enables the unit, and the shipped example configuration
#    leaves it inactive (skipped), not failed;
#  - with a real configuration `systemctl start` returns once the agent is
#    ready and `ctl status` answers;
#  - the demo installer runs inside the sandbox;
#  - `systemctl reload` re-reads the configuration (no procps in the root);
#  - `systemctl stop` ends in time; a kill -9 is restarted;
#  - the agent wrote only its own folders;
#  - in the unit's own sandbox (a command the unit runs before the agent)
#    writes to /run outside /run/fennic, to /etc, /var and /usr are refused,
#    and /run/fennic, /var/lib/fennic and /var/cache/fennic are writable;
#  - an upgrade restarts the agent and keeps its state and configuration;
#  - the enabled agent comes back after the container reboots;
#  - a purge leaves nothing.
# The minimal root comes from prepare_container_root.sh (debootstrap once,
# then a cached tarball).
#   check_under_systemd.sh DEB_DIR SERVER_BUILD_DIR WORK_DIR
set -euo pipefail
debs=$(cd "$1" && pwd)
server_build=$(cd "$2" && pwd)
work=$3
source_dir=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "systemd: FAILED: $*" >&2; exit 1; }
note() { echo "systemd: $*"; }

tarball=$("$source_dir/packaging/prepare_container_root.sh")

rm -rf "$work" && mkdir -p "$work"
root="$work/root"
mkdir "$root" && tar -C "$root" -xf "$tarball"
mkdir -p "$root/root/debs"
cp "$debs"/librestexecutor1_*.deb "$debs"/fennic-agent_*.deb "$root/root/debs/"
install -D -m 0755 "$source_dir/server/scenarios/flash-installer.sh" "$root/usr/local/lib/fennic-ci/flash-installer.sh"
# Run by the unit before the agent, so inside the same sandbox: tries to
# write each path it is given and says which it could (and why not).
cat >"$root/usr/local/lib/fennic-ci/sandbox-probe.sh" <<'PROBE'
#!/bin/sh
for path in "$@"; do
  if error=$( (echo probe >"$path") 2>&1); then
    echo "sandbox-probe: $path written"
  else
    echo "sandbox-probe: $path refused: ${error##*: }"
  fi
done
PROBE
chmod 0755 "$root/usr/local/lib/fennic-ci/sandbox-probe.sh"

nspawn_pid="" server_pid=""
cleanup() {
  [[ -n "$nspawn_pid" ]] && { kill -TERM "$nspawn_pid" 2>/dev/null; wait "$nspawn_pid" 2>/dev/null; } || true
  [[ -n "$server_pid" ]] && { kill -TERM "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; } || true
}
trap cleanup EXIT

"$server_build/server/fennic-server" --scenario "$source_dir/server/scenarios/demo.json" \
  --packages "$server_build/server/packages" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 100); do grep -q '^listening on' "$work/server.out" 2>/dev/null && break; sleep 0.05; done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out")
[[ -n "$port" ]] || fail "the server did not start"

leader=""
boot() {
  systemd-nspawn --boot --register=no --keep-unit --console=pipe --machine=fennic-ci -D "$root" \
    </dev/null >>"$work/nspawn.log" 2>&1 &
  nspawn_pid=$!
  leader=""
  # The container's PID 1 is nspawn's child once it runs systemd.
  for _ in $(seq 300); do
    leader=$(cat "/proc/$nspawn_pid/task/$nspawn_pid/children" 2>/dev/null | awk '{ print $1 }')
    [[ -n "$leader" && "$(cat "/proc/$leader/comm" 2>/dev/null)" == systemd ]] && break
    leader=""
    sleep 0.1
  done
  [[ -n "$leader" ]] || { cat "$work/nspawn.log" >&2; fail "the container did not boot"; }
  local state=""
  for _ in $(seq 90); do
    state=$(timeout 90 nsenter -t "$leader" -a systemctl is-system-running --wait 2>&1) && break
    # Until PID 1 has set up /run/systemd, systemctl reports "offline".
    [[ "$state" == *offline* || "$state" == *"connect to bus"* || "$state" == *"not been booted"* ]] || break
    sleep 1
  done
  [[ "$state" == running ]] || { in_ct systemctl --failed --no-pager >&2 || true; fail "the container's system is $state"; }
}
in_ct() { nsenter -t "$leader" -a "$@"; }
# Waits up to $1 seconds for a command inside to succeed.
await() {
  local seconds=$1; shift
  for _ in $(seq $((seconds * 10))); do in_ct "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
unit_show() { in_ct systemctl show -P "$1" fennic-agent; }
now_ms() { date +%s%3N; }
seconds_since() { awk -v a="$1" -v b="$(now_ms)" 'BEGIN { printf "%.2f", (b - a) / 1000 }'; }

note "booting the container"
boot
note "systemd $(in_ct systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p') is PID 1; installing the packages"
in_ct env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  $(cd "$root" && ls root/debs/*.deb | sed 's|^|/|') >"$work/apt.log" 2>&1 ||
  { tail -n 30 "$work/apt.log" >&2; fail "apt-get install"; }
[[ "$(in_ct systemctl is-enabled fennic-agent)" == enabled ]] || fail "the install did not enable the unit"
[[ "$(unit_show ActiveState)" == inactive ]] || fail "with the example configuration the unit is $(unit_show ActiveState)"
in_ct journalctl -u fennic-agent --no-pager | grep -q 'still names the example server' ||
  fail "the skipped start did not say why"
note "example configuration: unit enabled, start skipped (inactive, not failed)"
note "exposure: $(in_ct systemd-analyze security fennic-agent --no-pager | sed -n 's/.*Overall exposure level for fennic-agent.service: //p')"

# A real configuration: the host's server, and the demo installer writing
# into the agent's own state folder.
sed -e "s|https://fennic-server.example|http://127.0.0.1:$port|" -e 's|your-tenant-id|demo-tenant|' \
  -e 's|"heartBeatSeconds": 300|"heartBeatSeconds": 300, "firstHeartBeatSpreadSeconds": 0|' \
  -e 's|"downloadFolder": "/var/cache/fennic"|"downloadFolder": "/var/cache/fennic", "installers": [{"product": "P100", "deviceId": "HS-0001", "timeoutSeconds": 30, "command": ["/usr/local/lib/fennic-ci/flash-installer.sh", "/var/lib/fennic/devices"]}]|' \
  "$source_dir/packaging/agent.json" >"$root/etc/fennic/agent.json"
sleep 1
touch "$root/root/written-after"

start=$(now_ms)
timeout 60 nsenter -t "$leader" -a systemctl start fennic-agent || { in_ct journalctl -u fennic-agent --no-pager >&2; fail "systemctl start"; }
note "systemctl start returned after $(seconds_since "$start") s; the unit is $(unit_show ActiveState)"
[[ "$(unit_show ActiveState)" == active ]] || fail "the started unit is $(unit_show ActiveState)"
in_ct timeout 30 fennic-agent ctl --wait 6,7 heartbeat >"$work/ctl.out" 2>&1 || { cat "$work/ctl.out" >&2; fail "ctl heartbeat"; }
in_ct timeout 10 fennic-agent ctl status >"$work/status.out" 2>&1 || { cat "$work/status.out" >&2; fail "ctl status"; }
grep -q 'registered: yes' "$work/status.out" || { cat "$work/status.out" >&2; fail "ctl status shows no registered agent"; }
note "ctl status answers: $(grep -c . "$work/status.out") lines, registered"

# A whole update check on demand (get all updates), awaited to its end; the
# heart beat's own check may have ended already.
in_ct timeout 60 fennic-agent ctl --wait 4,9 --timeout 50 request 13 /dev/null >"$work/update.out" 2>&1 ||
  { cat "$work/update.out" >&2; fail "the update check"; }
await 30 test -s /var/lib/fennic/devices/HS-0001/firmware.bin ||
  { in_ct journalctl -u fennic-agent --no-pager | tail -n 30 >&2; fail "the demo installer did not flash the device under the sandbox"; }
note "the demo installer flashed HS-0001 inside the sandbox"

pid=$(unit_show MainPID)
in_ct sed -i 's|"logLevel": 2|"logLevel": 1|' /etc/fennic/agent.json
in_ct systemctl reload fennic-agent || fail "systemctl reload"
await 10 sh -c 'journalctl -u fennic-agent --no-pager | grep -q "configuration re-read"' ||
  { in_ct journalctl -u fennic-agent --no-pager | tail -n 20 >&2; fail "the reload did not re-read the configuration"; }
[[ "$(unit_show MainPID)" == "$pid" ]] || fail "the reload restarted the agent"
in_ct test ! -e /bin/kill -a ! -e /usr/bin/kill || note "(the root has a kill program)"
note "systemctl reload re-read the configuration, same process"

start=$(now_ms)
in_ct systemctl kill --signal=KILL fennic-agent
restarts=$(unit_show NRestarts)
await 45 sh -c "[ \"\$(systemctl show -P ActiveState fennic-agent)\" = active ] && [ \"\$(systemctl show -P NRestarts fennic-agent)\" = $((restarts + 1)) ]" ||
  fail "a kill -9 was not restarted within 45 s"
note "after kill -9 the agent was back in $(seconds_since "$start") s"

start=$(now_ms)
timeout 30 nsenter -t "$leader" -a systemctl stop fennic-agent || fail "systemctl stop"
stop_s=$(seconds_since "$start")
[[ "$(unit_show Result)" == success ]] || fail "the stop ended with $(unit_show Result)"
awk -v s="$stop_s" 'BEGIN { exit !(s < 5) }' || fail "the stop took $stop_s s"
note "systemctl stop took $stop_s s"

# Only the agent's folders changed since the configuration was written (the
# test's own edit, the journal and systemd's own state aside; /run and /tmp
# are other file systems).
in_ct find / -xdev -newer /root/written-after -not -type d -not -path /etc/fennic/agent.json \
  -not -path '/var/log/journal/*' -not -path '/var/lib/systemd/*' -not -path '/proc/*' \
  -not -path '/var/lib/fennic/*' -not -path '/var/cache/fennic/*' >"$work/written.txt" || true
[[ ! -s "$work/written.txt" ]] || { cat "$work/written.txt" >&2; fail "files outside the agent's folders changed"; }
note "the agent wrote only /var/lib/fennic and /var/cache/fennic"

# The sandbox itself, not only what the agent chose to write: a drop-in
# runs the probe as ExecStartPre=, which gets the unit's whole sandbox. A
# write that got through shows outside; one refused says so in the journal,
# and the writes to the agent's own folders show that the probe ran.
outside=(/run/fennic-probe /run/systemd/fennic-probe /etc/fennic-probe /var/fennic-probe /usr/fennic-probe)
inside=(/run/fennic/probe /var/lib/fennic/probe /var/cache/fennic/probe)
dropin="$root/etc/systemd/system/fennic-agent.service.d/sandbox-probe.conf"
mkdir -p "$(dirname "$dropin")"
printf '[Service]\nExecStartPre=/usr/local/lib/fennic-ci/sandbox-probe.sh %s\n' "${outside[*]} ${inside[*]}" >"$dropin"
in_ct systemctl daemon-reload
in_ct systemctl start fennic-agent ||
  { in_ct journalctl -u fennic-agent --no-pager | tail -n 20 >&2; fail "systemctl start with the sandbox probe"; }
probes=$((${#outside[@]} + ${#inside[@]}))
await 10 sh -c "[ \$(journalctl -u fennic-agent -o cat --no-pager | grep -c '^sandbox-probe: ') -ge $probes ]" ||
  { in_ct journalctl -u fennic-agent --no-pager | tail -n 20 >&2; fail "the sandbox probe did not report"; }
in_ct journalctl -u fennic-agent -o cat --no-pager | grep '^sandbox-probe: ' >"$work/probe.txt"
for path in "${outside[@]}"; do
  if ! grep -qF "sandbox-probe: $path refused: " "$work/probe.txt" || in_ct test -e "$path"; then
    cat "$work/probe.txt" >&2
    fail "inside the unit's sandbox $path could be written"
  fi
done
for path in "${inside[@]}"; do
  if ! grep -qxF "sandbox-probe: $path written" "$work/probe.txt" || ! in_ct test -s "$path"; then
    cat "$work/probe.txt" >&2
    fail "inside the unit's sandbox the agent's own $path could not be written"
  fi
done
rm "$dropin"
in_ct systemctl daemon-reload
in_ct systemctl stop fennic-agent || fail "systemctl stop after the sandbox probe"
in_ct rm -f /var/lib/fennic/probe /var/cache/fennic/probe
note "in the unit's sandbox these were refused: ${outside[*]}; these written: ${inside[*]}"

# An upgrade (the same packages again) restarts the agent and keeps its
# state and the administrator's configuration.
in_ct systemctl start fennic-agent || fail "systemctl start after the stop"
pid=$(unit_show MainPID)
in_ct env DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall -o Dpkg::Options::=--force-confold \
  $(cd "$root" && ls root/debs/*.deb | sed 's|^|/|') >"$work/upgrade.log" 2>&1 ||
  { tail -n 30 "$work/upgrade.log" >&2; fail "the upgrade"; }
[[ "$(unit_show ActiveState)" == active && "$(unit_show MainPID)" != "$pid" ]] || fail "the upgrade did not restart the agent"
in_ct grep -q 127.0.0.1 /etc/fennic/agent.json || fail "the upgrade replaced the configuration"
in_ct timeout 10 fennic-agent ctl status >"$work/status.out" 2>&1 && grep -q 'registered: yes' "$work/status.out" ||
  { cat "$work/status.out" >&2; fail "the upgraded agent lost its registration"; }
in_ct test -s /var/lib/fennic/devices/HS-0001/firmware.bin || fail "the upgrade lost the state folder's files"
note "an upgrade restarted the agent and kept its state and configuration"

note "rebooting the container"
in_ct systemctl reboot >/dev/null 2>&1 || true
wait "$nspawn_pid" 2>/dev/null || true
nspawn_pid=""
boot
await 30 sh -c '[ "$(systemctl show -P ActiveState fennic-agent)" = active ]' || fail "the enabled agent did not come back after a reboot"
in_ct timeout 10 fennic-agent ctl status >/dev/null || fail "ctl status after the reboot"
note "after the reboot the agent is active and answers"

in_ct env DEBIAN_FRONTEND=noninteractive apt-get purge -y fennic-agent librestexecutor1 >"$work/purge.log" 2>&1 ||
  { cat "$work/purge.log" >&2; fail "apt-get purge"; }
for path in /etc/fennic /var/lib/fennic /var/cache/fennic /run/fennic /usr/bin/fennic-agent \
    /lib/systemd/system/fennic-agent.service /etc/systemd/system/multi-user.target.wants/fennic-agent.service; do
  in_ct test ! -e "$path" || fail "$path is left after the purge"
done
[[ -z "$(in_ct systemctl list-units --all --no-legend 'fennic*')" ]] || fail "systemd still knows the unit after the purge"
note "the purge left nothing"
echo "systemd: done"
