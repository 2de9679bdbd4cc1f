#!/usr/bin/env bash
# Configures and builds into build/ (or $VESK_BUILD).
#   build.sh           everything: the core library, the extension module
#                      (build/python), the tests and the benchmarks;
#   build.sh --module  the extension module only, which needs none of the
#                      test or benchmark libraries (the tour's build).
# A directory first configured for the module alone is configured again with
# the tests and benchmarks when everything is asked for; what was built stays.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

module_only=0
case "${1:-}" in
  "") ;;
  --module) module_only=1 ;;
  *) printf 'usage: %s [--module]\n' "$0" >&2; exit 2 ;;
esac

configure() {
  cmake -S "$VESK_ROOT" -B "$VESK_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython3_EXECUTABLE="$VESK_PYTHON" -DVESK_WERROR=ON "$@" >/dev/null
}

cache="$VESK_BUILD/CMakeCache.txt"
if ((module_only)); then
  [[ -f "$VESK_BUILD/build.ninja" ]] || configure -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_BENCH=OFF
  cmake --build "$VESK_BUILD" --target vesk_internal
else
  if [[ ! -f "$VESK_BUILD/build.ninja" ]] ||
     grep -qE '^VESK_BUILD_(TESTS|BENCH):BOOL=OFF$' "$cache"; then
    configure -DVESK_BUILD_TESTS=ON -DVESK_BUILD_BENCH=ON
  fi
  cmake --build "$VESK_BUILD"
fi
