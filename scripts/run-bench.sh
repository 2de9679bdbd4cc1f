#!/usr/bin/env bash
# Builds with optimisation and prints every benchmark's headline figure next
# to its baseline measured in the same run. Extra arguments go to bench/run.py
# (for example --filter diff).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
"$VESK_ROOT/scripts/setup.sh" --tests >/dev/null
export VESK_BUILD="$VESK_ROOT/build-release"
if [[ ! -f "$VESK_BUILD/build.ninja" ]]; then
  cmake -S "$VESK_ROOT" -B "$VESK_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython3_EXECUTABLE="$VESK_PYTHON" -DVESK_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$VESK_BUILD" >/dev/null
PYTHONPATH="$VESK_BUILD/python" exec "$VESK_PYTHON" "$VESK_ROOT/bench/run.py" --build "$VESK_BUILD" "$@"
