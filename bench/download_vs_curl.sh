#!/usr/bin/env bash
# Serves one 256 MiB package from fennic-server on loopback and fetches it
# alternately with curl -o and with the transport's DownloadFile, ROUNDS
# times each (default 7: one download takes under a second, so a few rounds
# are too few for a steady median on a shared machine). Prints the median throughput of each, the transport's peak RSS, and
# last "download ratio R" (transport / curl). The transport flushes the
# package to disk before it reports success and curl -o does not, so the
# rate of curl followed by a flush of its file is shown as well
# ("durable download ratio": transport / curl + flush). When minisign is
# installed the package is signed with a throw-away key and each round also
# fetches it with the signature required and verified ("signed download
# ratio": transport with verification / curl).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build-bench-download}"
work="$(mktemp -d)"
server_pid=""
cleanup() {
  if [[ -n "$server_pid" ]]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

if [[ -z "${NO_BUILD:-}" ]]; then  # NO_BUILD=1: use the programs already in BUILD_DIR
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFENNIC_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target fennic-server download_bench_tool -j"$(nproc)" >/dev/null
fi

mkdir -p "$work/packages" "$work/curl" "$work/transport"
head -c $((256 * 1024 * 1024)) /dev/urandom > "$work/packages/big.bin"
signed=""
if command -v minisign >/dev/null; then
  minisign -G -W -f -p "$work/bench.pub" -s "$work/bench.key" >/dev/null
  minisign -S -s "$work/bench.key" -m "$work/packages/big.bin" >/dev/null
  signed=1
fi
cat > "$work/scenario.json" <<JSON
{"tenants": [{"id": "bench", "token": "bench-token"}], "packagesFolder": "$work/packages"}
JSON

"$build/server/fennic-server" --scenario "$work/scenario.json" > "$work/server.out" &
server_pid=$!
for _ in $(seq 100); do grep -q listening "$work/server.out" 2>/dev/null && break; sleep 0.05; done
port="$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/server.out")"
[[ -n "$port" ]] || { echo "server did not start"; exit 1; }
base="http://127.0.0.1:$port"
curl -s -X POST "$base/api/ManageAgent/Register" -d '{"TenantID":"bench"}' > /dev/null

size=$(stat -c %s "$work/packages/big.bin")
curl_rates=(); durable_rates=(); tool_rates=(); signed_rates=(); rss=0
rounds="${ROUNDS:-7}"
for round in $(seq "$rounds"); do
  rm -f "$work/curl/big.bin"
  secs=$(curl -s -H "Authorization: Bearer bench-token" -o "$work/curl/big.bin" -w '%{time_total}' "$base/packages/big.bin")
  curl_rates+=("$(awk -v b="$size" -v s="$secs" 'BEGIN{printf "%.1f", b/s/1048576}')")
  flush_start=$(date +%s.%N); sync "$work/curl/big.bin"; flush_end=$(date +%s.%N)
  durable_rates+=("$(awk -v b="$size" -v s="$secs" -v f0="$flush_start" -v f1="$flush_end" \
    'BEGIN{printf "%.1f", b/(s+f1-f0)/1048576}')")
  rm -f "$work/transport/big.bin"
  out="$("$build/bench/download_bench_tool" "$base" bench big.bin "$work/transport")"
  tool_rates+=("$(sed -n 's/^mib_per_s //p' <<<"$out")")
  r=$(sed -n 's/^peak_rss_kib //p' <<<"$out"); (( r > rss )) && rss=$r
  line="round $round: curl ${curl_rates[-1]} MiB/s, transport ${tool_rates[-1]} MiB/s"
  if [[ -n "$signed" ]]; then
    rm -f "$work/transport/big.bin"
    out="$("$build/bench/download_bench_tool" "$base" bench big.bin "$work/transport" "$work/bench.pub")"
    signed_rates+=("$(sed -n 's/^mib_per_s //p' <<<"$out")")
    line+=", with the signature verified ${signed_rates[-1]} MiB/s"
  fi
  echo "$line"
done
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
c=$(median "${curl_rates[@]}"); t=$(median "${tool_rates[@]}"); d=$(median "${durable_rates[@]}")
echo "curl median: $c MiB/s"
echo "curl and flush median: $d MiB/s"
echo "transport median: $t MiB/s (SHA-256 and size checked)"
echo "transport peak RSS: $((rss / 1024)) MiB"
awk -v t="$t" -v d="$d" 'BEGIN{printf "durable download ratio %.2f\n", t/d}'
awk -v t="$t" -v c="$c" 'BEGIN{printf "download ratio %.2f\n", t/c}'
if [[ -n "$signed" ]]; then
  v=$(median "${signed_rates[@]}")
  echo "transport median with the signature verified: $v MiB/s"
  awk -v v="$v" -v c="$c" 'BEGIN{printf "signed download ratio %.2f\n", v/c}'
fi
