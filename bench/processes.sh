# Shared by the benchmark scripts that start the local server and agents.

# Stops a pid, bounded: TERM, then KILL after 5 s.
stop() {
  [[ -n "$1" ]] && kill -0 "$1" 2>/dev/null || return 0
  kill -TERM "$1" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
