#!/usr/bin/env bash
# Driver of the packaging test (see CMakeLists.txt beside it):
#  1. `cmake --install` of the build tree into a fresh prefix, then the prefix
#     is moved, so everything below also checks that the tree is relocatable;
#  2. the installed fennic-agent runs and loads the installed libraries;
#  3. consumer/ is configured with find_package(RestExecutor CONFIG) against
#     the prefix, built (including a compile of every installed header on its
#     own) and run;
#  4. restexecutor.pc: `pkg-config --cflags --libs` with PKG_CONFIG_PATH into
#     the prefix, and the consumer's main.cpp built and run with those flags.
# In a sanitizer build the installed libraries are instrumented, so the
# consumer is built with the same -fsanitize flags.
set -euo pipefail

cmake_bin=cmake build_dir="" work_base="" consumer="" cxx=c++ generator="" config="" sanitize=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --cmake) cmake_bin="$2" ;;
    --build-dir) build_dir="$2" ;;
    --work-dir) work_base="$2" ;;
    --consumer) consumer="$2" ;;
    --cxx) cxx="$2" ;;
    --generator) generator="$2" ;;
    --config) config="$2" ;;
    --sanitize) sanitize="$2" ;;
    *) echo "run_consumer.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
[[ -n "$build_dir" && -n "$work_base" && -n "$consumer" ]] || { echo "run_consumer.sh: missing arguments" >&2; exit 2; }

fail() { echo "packaging: FAILED: $*" >&2; exit 1; }
# Runs a step with its output in a log file; shows the end of it on failure.
step() {
  local name="$1"; shift
  echo "== $name"
  if ! "$@" >"$work/$name.log" 2>&1; then
    tail -n 60 "$work/$name.log" >&2
    fail "$name"
  fi
}

# A fresh folder under the build tree, removed at the end (kept on failure
# when FENNIC_KEEP_PACKAGING_WORK is set).
mkdir -p "$work_base"
work="$(mktemp -d "$work_base/run.XXXXXX")"
cleanup() {
  local rc=$?
  if [[ $rc -ne 0 && -n "${FENNIC_KEEP_PACKAGING_WORK:-}" ]]; then
    echo "packaging: work folder kept: $work" >&2
  else
    rm -rf "$work"
  fi
  rmdir "$work_base" 2>/dev/null || true
}
trap cleanup EXIT
unset LD_LIBRARY_PATH

config_args=()
[[ -n "$config" ]] && config_args=(--config "$config")
step install "$cmake_bin" --install "$build_dir" --prefix "$work/staged" "${config_args[@]}"
mv "$work/staged" "$work/prefix"
prefix="$work/prefix"

pc="$(find "$prefix" -name restexecutor.pc -path '*/pkgconfig/*' | head -n 1)"
[[ -n "$pc" ]] || fail "no restexecutor.pc under the prefix"
libdir="$(dirname "$(dirname "$pc")")"
for f in bin/fennic-agent include/fennic/CommonUtils.h include/fennic/RestExecutorFactory.h \
    include/fennic/FennicExport.h include/fennic/outside/IAgentUtils.h \
    include/fennic/services/FileConfigurationManager.h include/fennic/transport/HttpRestClient.h; do
  [[ -f "$prefix/$f" ]] || fail "$f is not installed"
done
for lib in RestExecutor FennicOutside FennicServices FennicHttpTransport; do
  compgen -G "$libdir/lib$lib.so*" >/dev/null || fail "lib$lib.so is not installed in $libdir"
done
for f in RestExecutorConfig.cmake RestExecutorConfigVersion.cmake RestExecutorTargets.cmake; do
  [[ -f "$libdir/cmake/RestExecutor/$f" ]] || fail "cmake/RestExecutor/$f is not installed"
done

# Loads only what the prefix holds: every library of ours resolves there.
check_loads_from_prefix() {
  local program="$1" deps path
  deps="$(ldd "$program")" || fail "ldd $program"
  for lib in "${@:2}"; do
    path="$(awk -v lib="lib$lib.so" 'index($1, lib) == 1 && $2 == "=>" { print $3 }' <<<"$deps")"
    if [[ -z "$path" || "$(dirname "$(realpath -m "$path")")" != "$(realpath -m "$libdir")" ]]; then
      echo "$deps" >&2
      fail "$program does not load lib$lib from $libdir"
    fi
  done
}

echo "== installed fennic-agent"
check_loads_from_prefix "$prefix/bin/fennic-agent" RestExecutor FennicOutside FennicServices FennicHttpTransport
"$prefix/bin/fennic-agent" --help >"$work/agent-help.log" 2>&1 || { cat "$work/agent-help.log" >&2; fail "installed fennic-agent --help"; }
grep -q '^usage: fennic-agent' "$work/agent-help.log" || fail "installed fennic-agent printed no usage"

sanitize_flags=""
if [[ -n "$sanitize" ]]; then
  sanitize_flags="-fsanitize=$sanitize -fno-omit-frame-pointer -fno-sanitize-recover=all"
fi

generator_args=()
[[ -n "$generator" ]] && generator_args=(-G "$generator")
step consumer-configure "$cmake_bin" -S "$consumer" -B "$work/consumer" "${generator_args[@]}" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  -DCMAKE_CXX_FLAGS="$sanitize_flags" -DCMAKE_EXE_LINKER_FLAGS="$sanitize_flags"
found="$(sed -n 's/^RestExecutor_DIR:PATH=//p' "$work/consumer/CMakeCache.txt")"
[[ "$found" == "$libdir/cmake/RestExecutor" ]] || fail "find_package found RestExecutor in '$found', not in the prefix"
step consumer-build "$cmake_bin" --build "$work/consumer" -j 2
check_loads_from_prefix "$work/consumer/consumer" RestExecutor FennicOutside
step consumer-run "$work/consumer/consumer"
grep -q '^consumer: ok' "$work/consumer-run.log" || fail "the consumer did not finish"
echo "   $(grep '^summary:' "$work/consumer-run.log")"

echo "== pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
pc_flags="$(pkg-config --cflags --libs restexecutor)" || fail "pkg-config --cflags --libs restexecutor"
echo "   $pc_flags"
[[ "$(pkg-config --modversion restexecutor)" == 1.* ]] || fail "restexecutor.pc has no 1.x version"
grep -q -- '-lRestExecutor' <<<"$pc_flags" || fail "pkg-config names no -lRestExecutor"
# shellcheck disable=SC2086
step pkg-config-build "$cxx" -std=c++17 $sanitize_flags "$consumer/main.cpp" $pc_flags \
  -Wl,-rpath,"$libdir" -o "$work/consumer-pc"
check_loads_from_prefix "$work/consumer-pc" RestExecutor FennicOutside
step pkg-config-run "$work/consumer-pc"
grep -q '^consumer: ok' "$work/pkg-config-run.log" || fail "the pkg-config consumer did not finish"

echo "packaging: done"
