#!/usr/bin/env bash
# The SDK as an author outside this tree gets it: `cmake --install` into one
# place, the tree moved somewhere else, then every folder of examples/ built
# against the moved tree twice, with find_package(dvrcore) and with
# pkg-config, each library checked (named NAME.so, only entry points exported)
# and inspected with the moved dvr-inspect, and the pkg-config builds tried
# with the moved korvod-sim.
#
# Environment: BUILD_DIR, SOURCE_DIR, CMAKE, GENERATOR, CC, CXX, CFLAGS and
# LDFLAGS (the build's own, so sanitizer builds stay consistent), EMULATOR
# (runs the installed tools of a cross build; may be empty).
set -euo pipefail

work=$(mktemp -d "${TMPDIR:-/tmp}/dvrcore-sdk-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
run_tool() { ${EMULATOR:+$EMULATOR} "$@"; }

"$CMAKE" --install "$BUILD_DIR" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/moved"
prefix=$work/moved
for tool in dvrcore dvr-inspect korvod-sim; do
  [ -x "$prefix/bin/$tool" ] || fail "bin/$tool is not installed"
done

pc=$(find "$prefix" -name dvrcore-plugin.pc -print -quit)
[ -n "$pc" ] || fail "no dvrcore-plugin.pc installed"
export PKG_CONFIG_PATH=$(dirname "$pc")
cflags=$(pkg-config --cflags dvrcore-plugin)
libs=$(pkg-config --libs dvrcore-plugin)
includedir=$(pkg-config --variable=includedir dvrcore-plugin)
plugindir=$(pkg-config --variable=plugindir dvrcore-plugin)
[ -f "$includedir/plugin_api.h" ] || fail "pkg-config points to $includedir, which has no plugin_api.h"
[ -f "$plugindir/LogPI.so" ] || fail "pkg-config's plugindir $plugindir has no LogPI.so"
case "$cflags" in *"$prefix"*) ;; *) fail "pkg-config --cflags gives '$cflags', not a path in the moved tree" ;; esac

# Only entry points may be exported: hidden visibility for everything else.
check_library() {
  local library=$1 name
  name=$(basename "$library")
  case "$name" in lib*) fail "$library has a lib prefix" ;; *.so) ;; *) fail "$library is not named NAME.so" ;; esac
  local exported
  exported=$(nm -D --defined-only "$library" | awk '{print $3}' | grep -v -x -E \
    'Load|Unload|Open|Close|OnEvent|OnSearch|Read|Write|OnIpcResult|IOCTL|_init|_fini|_edata|_end|__bss_start' || true)
  [ -z "$exported" ] || fail "$library exports more than its entry points: $exported"
  run_tool "$prefix/bin/dvr-inspect" "$library" >"$work/inspect.txt" 2>&1 ||
    { cat "$work/inspect.txt" >&2; fail "dvr-inspect says $library would not load"; }
}

examples=0
tryout=()
for example in "$SOURCE_DIR"/examples/*/; do
  example=${example%/}
  name=$(basename "$example")
  [ -f "$example/CMakeLists.txt" ] || continue
  examples=$((examples + 1))
  grep -q 'find_package(dvrcore' "$example/CMakeLists.txt" ||
    fail "examples/$name is not a standalone project: its CMakeLists.txt must find_package(dvrcore) outside this tree (see examples/camera)"

  # With the CMake package.
  "$CMAKE" -S "$example" -B "$work/cmake-$name" -G "$GENERATOR" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
    -DCMAKE_C_FLAGS="$CFLAGS" -DCMAKE_CXX_FLAGS="$CFLAGS" -DCMAKE_MODULE_LINKER_FLAGS="$LDFLAGS" \
    >"$work/configure.txt" 2>&1 || { cat "$work/configure.txt" >&2; fail "examples/$name: configuring against the package failed"; }
  "$CMAKE" --build "$work/cmake-$name" >"$work/build.txt" 2>&1 ||
    { cat "$work/build.txt" >&2; fail "examples/$name: building against the package failed"; }
  built=$(find "$work/cmake-$name" -maxdepth 1 -name '*.so')
  [ -n "$built" ] || fail "examples/$name: the CMake build made no .so"
  for library in $built; do check_library "$library"; done

  # With pkg-config: the sources of the folder into NAME.so.
  mkdir -p "$work/pc-$name"
  shopt -s nullglob
  c_sources=("$example"/*.c)
  cxx_sources=("$example"/*.cpp)
  shopt -u nullglob
  objects=()
  for source in "${c_sources[@]}"; do
    object=$work/pc-$name/$(basename "$source").o
    "$CC" -std=c11 -fPIC -fvisibility=hidden $CFLAGS $cflags -c "$source" -o "$object" || fail "examples/$name: cc with pkg-config failed"
    objects+=("$object")
  done
  for source in "${cxx_sources[@]}"; do
    object=$work/pc-$name/$(basename "$source").o
    "$CXX" -std=c++20 -fPIC -fvisibility=hidden -fvisibility-inlines-hidden $CFLAGS $cflags -c "$source" -o "$object" ||
      fail "examples/$name: c++ with pkg-config failed"
    objects+=("$object")
  done
  [ "${#objects[@]}" -gt 0 ] || fail "examples/$name has no .c or .cpp source"
  linker=$CC
  [ "${#cxx_sources[@]}" -eq 0 ] || linker=$CXX
  "$linker" -shared $LDFLAGS -o "$work/pc-$name/$name.so" "${objects[@]}" $libs -pthread || fail "examples/$name: linking failed"
  check_library "$work/pc-$name/$name.so"
  [ "$name" = LogPI ] || tryout+=(--plugin "$work/pc-$name/$name.so")
done
[ "$examples" -gt 0 ] || fail "no example found in $SOURCE_DIR/examples"

# The moved korvod-sim tries the pkg-config builds beside the moved log plug-in.
mkdir -p "$work/run"
run_tool "$prefix/bin/korvod-sim" ${EMULATOR:+--emulator "$EMULATOR"} "${tryout[@]}" --duration 0.5 --workdir "$work/run" >"$work/sim.txt" 2>&1 ||
  { cat "$work/sim.txt" >&2; fail "korvod-sim from the moved tree failed"; }
grep -q "Loaded plugin" "$work/sim.txt" || { cat "$work/sim.txt" >&2; fail "the core loaded no example"; }
[ -s "$work/run/dvrcore.log" ] || fail "the moved log plug-in wrote no dvrcore.log"

echo "relocated SDK: $examples examples built with the CMake package and with pkg-config"
