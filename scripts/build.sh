#!/usr/bin/env bash
# Configures (once) and builds everything into build/: the core library, the
# extension module (build/python), the tests and the benchmarks.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
if [[ ! -f "$VESK_BUILD/build.ninja" ]]; then
  cmake -S "$VESK_ROOT" -B "$VESK_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython3_EXECUTABLE="$VESK_PYTHON" -DVESK_WERROR=ON >/dev/null
fi
cmake --build "$VESK_BUILD"
