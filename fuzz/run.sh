#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan + UBSan) and runs each for
# SECONDS (default 30) from its seed corpus; the answer-sequence target runs
# twice as long (SEQUENCE_SECONDS), its inputs being whole runs of requests. Fails on the first crash; the
# crashing input is left in fuzz/artifacts/ to be kept as a regression seed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=${FUZZ_BUILD_DIR:-build-fuzz}
CXX=clang++ CC=clang cmake -S . -B "$build" -DFENNIC_FUZZ=ON -DFENNIC_SANITIZE=address,undefined \
  -DFENNIC_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
cmake --build "$build" -j"$(nproc)" --target $targets
mkdir -p fuzz/artifacts
for t in $targets; do
  name=${t#fuzz_}
  work=$(mktemp -d)
  seeds=fuzz/corpus/$name
  [ -d "$seeds" ] || seeds=""
  log=$work/log
  # The update targets keep the download list between inputs, so nearly every
  # input looks like a leak to libFuzzer's per-input check, which then scans
  # the whole heap; the answer sequences pay that scan after every run of
  # steps (a third of the runs). Leaks are still reported when the run ends.
  leaks=1
  case $name in get_updates|get_all_updates|sequences) leaks=0 ;; esac
  limit=$seconds extra=()
  # Whole runs of steps from the start (up to 8 steps of up to 12 bytes), not
  # single steps grown slowly: more of the sequences' behaviour per second.
  [ "$name" = sequences ] && limit=${SEQUENCE_SECONDS:-$((seconds * 2))} extra=(-max_len=96 -len_control=0)
  if ! "$build/fuzz/$t" -max_total_time="$limit" -rss_limit_mb=2048 -timeout=10 -detect_leaks=$leaks "${extra[@]}" \
      -artifact_prefix=fuzz/artifacts/"$name"- "$work" $seeds >"$log" 2>&1; then
    tail -40 "$log"
    echo "fuzz: $t failed" >&2
    exit 1
  fi
  # The closing line carries the totals: "Done N runs in S second(s)".
  runs=$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | awk '{print $2, $5}')
  set -- $runs
  echo "fuzz: $t runs=$1 seconds=$2 exec/s=$(( $1 / ($2 > 0 ? $2 : 1) ))"
  rm -rf "$work"
done
