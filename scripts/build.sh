#!/usr/bin/env bash
# Configures and builds one build folder.
#   scripts/build.sh <folder> [cmake options...]
# FWUPDATE_BUILD_TARGET=<target> builds that target only (and what it needs).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
# A compiler cache, when there is one, makes a second build of the same sources (another clone, a rerun) quick.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [ ! -f "$top/$dir/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$top/$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null
else
  cmake -S "$top" -B "$top/$dir" "$@" >/dev/null
fi
targets=()
if [ -n "${FWUPDATE_BUILD_TARGET:-}" ]; then targets=(--target "$FWUPDATE_BUILD_TARGET"); fi
cmake --build "$top/$dir" -j "$(nproc)" "${targets[@]}"
