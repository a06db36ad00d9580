#!/usr/bin/env bash
# The packages on this machine, as root (CI): installs the three with apt,
# checks the program, the installed unit and its sandbox, the manual page
# and the development files; runs the agent's tests again with the package
# (and its example /etc/fennic/agent.json) installed; signs the demo
# packages with a throw-away publisher key, installs that key in
# /etc/fennic/keys, points the installed configuration at the local
# management server with signatures required and runs the installed agent's
# once pass with its default configuration path; then purges and checks
# that nothing is left.
#   check_debian_install.sh DEB_DIR BUILD_DIR WORK_DIR
# BUILD_DIR is a build of this tree with its tests (the local server and the
# test programs come from there).
set -euo pipefail
debs=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=$3
source_dir=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "install: FAILED: $*" >&2; exit 1; }
note() { echo "install: $*"; }
export DEBIAN_FRONTEND=noninteractive

[[ ! -e /etc/fennic && ! -e /var/lib/fennic ]] || fail "this machine already has /etc/fennic or /var/lib/fennic"
rm -rf "$work" && mkdir -p "$work"

apt-get install -y --no-install-recommends "$debs"/librestexecutor1_*.deb "$debs"/librestexecutor-dev_*.deb \
  "$debs"/fennic-agent_*.deb >"$work/apt.log" 2>&1 || { tail -n 30 "$work/apt.log" >&2; fail "apt-get install"; }
version=$(dpkg-query -W -f '${Version}' fennic-agent)
[[ "$(fennic-agent --version)" == "fennic-agent ${version%%-*}" ]] || fail "fennic-agent --version says $(fennic-agent --version)"
note "installed $version; $(fennic-agent --version)"

unit=/lib/systemd/system/fennic-agent.service
systemd-analyze verify --man=no "$unit" || fail "systemd-analyze verify $unit"
systemd-analyze security --offline=true --threshold=50 "$unit" >"$work/security.log" 2>&1 ||
  { cat "$work/security.log" >&2; fail "the unit's exposure is above 5.0"; }
note "unit verified; $(sed -n 's/.*Overall exposure level for fennic-agent.service: //p' "$work/security.log")"
[[ -L /etc/systemd/system/multi-user.target.wants/fennic-agent.service ]] || fail "the install did not enable the unit"
[[ -s /usr/share/man/man8/fennic-agent.8.gz ]] || fail "no manual page"
lib_dir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[[ -e "$lib_dir/libRestExecutor.so.1" && -e "$lib_dir/cmake/RestExecutor/RestExecutorConfig.cmake" ]] ||
  fail "the libraries or the CMake package are not in $lib_dir"

# The development package as a user of it sees it.
# shellcheck disable=SC2046
c++ -std=c++17 "$source_dir/tests/packaging/consumer/main.cpp" $(pkg-config --cflags --libs restexecutor) \
  -o "$work/consumer" 2>"$work/consumer.log" || { cat "$work/consumer.log" >&2; fail "building against restexecutor.pc"; }
"$work/consumer" >"$work/consumer.out" 2>&1 || { cat "$work/consumer.out" >&2; fail "the consumer"; }
note "built and ran a program with pkg-config --cflags --libs restexecutor"

note "the agent's tests with the package installed"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" -R "${FENNIC_INSTALLED_TESTS:-^(AgentProgramTest|AgentServiceTest|ControlSocketTest)\.}" \
  >"$work/ctest.log" 2>&1 || { tail -n 60 "$work/ctest.log" >&2; fail "tests with the package installed"; }
grep -E '^[0-9]+% tests passed' "$work/ctest.log" | sed 's/^/install:   /'

# The publisher signs the packages; the administrator installs its key.
[[ -d /etc/fennic/keys ]] || fail "the package has no /etc/fennic/keys"
mkdir -p "$work/packages" "$work/publisher"
cp "$build/server/packages"/*.bin "$work/packages/"
minisign -G -W -f -p "$work/publisher/vendor.pub" -s "$work/publisher/vendor.key" >/dev/null
for package in "$work/packages"/*.bin; do minisign -S -s "$work/publisher/vendor.key" -m "$package" >/dev/null; done
install -m 0644 "$work/publisher/vendor.pub" /etc/fennic/keys/vendor.pub
"$build/server/fennic-server" --scenario "$source_dir/server/scenarios/demo.json" \
  --packages "$work/packages" --record "$work/record.jsonl" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q '^listening on' "$work/server.out" 2>/dev/null && break; sleep 0.05; done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out")
[[ -n "$port" ]] || fail "the server did not start"
# The administrator's edit of the conffile; the agent reads it by default.
sed -i -e "s|https://fennic-server.example|http://127.0.0.1:$port|" -e 's|your-tenant-id|demo-tenant|' \
  -e 's|^{$|{ "packageSignatures": {"publicKeys": ["/etc/fennic/keys/vendor.pub"], "policy": "require"},|' \
  /etc/fennic/agent.json
timeout 120 fennic-agent --once >"$work/once.out" 2>&1 || { cat "$work/once.out" >&2; fail "the installed agent's once pass"; }
[[ -n "$(ls -A /var/lib/fennic)" ]] || fail "the once pass kept no state in /var/lib/fennic"
# Every package was asked for with its signature and acknowledged "Success".
verified=$(grep -c '"Status":"Success"' "$work/record.jsonl" || true)
signatures=$(grep -c '"path":"/packages/[^"]*\.minisig"' "$work/record.jsonl" || true)
[[ "$verified" -ge 1 && "$signatures" -ge "$verified" ]] && ! grep -q '"Status":"Failed"' "$work/record.jsonl" ||
  fail "the signed packages were not all verified under \"require\" ($verified acknowledged, $signatures signatures)"
note "the installed agent's once pass against 127.0.0.1:$port succeeded, signed packages required and verified"

apt-get purge -y fennic-agent librestexecutor-dev librestexecutor1 >"$work/purge.log" 2>&1 ||
  { cat "$work/purge.log" >&2; fail "apt-get purge"; }
left=()
for path in /etc/fennic /var/lib/fennic /var/cache/fennic /run/fennic /usr/bin/fennic-agent "$unit" \
    /etc/systemd/system/multi-user.target.wants/fennic-agent.service /usr/share/man/man8/fennic-agent.8.gz \
    /usr/include/fennic "$lib_dir/cmake/RestExecutor" "$lib_dir/pkgconfig/restexecutor.pc" \
    /usr/share/doc/fennic-agent; do
  [[ -e "$path" || -L "$path" ]] && left+=("$path")
done
left+=($(compgen -G "$lib_dir/lib*Fennic*" || true) $(compgen -G "$lib_dir/libRestExecutor*" || true) \
  $(compgen -G "/var/lib/systemd/deb-systemd-helper-enabled/*fennic*" || true) \
  $(compgen -G "/var/lib/systemd/deb-systemd-helper-enabled/*/*fennic*" || true))
[[ ${#left[@]} -eq 0 ]] || fail "left after the purge: ${left[*]}"
[[ -z "$(dpkg-query -W -f '${db:Status-Abbrev}\n' fennic-agent librestexecutor1 librestexecutor-dev 2>/dev/null | grep -v '^un' || true)" ]] ||
  fail "dpkg still records the packages"
note "the purge left nothing"
echo "install: done"
