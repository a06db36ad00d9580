#!/usr/bin/env bash
# Builds everything and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
if [ -x build/examples/example_host ]; then
  build/examples/example_host
else
  echo "demo: the example host is not built yet" >&2
  exit 1
fi
