#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ suite (CTest) and the Python
# suite (pytest against the built module). Exits non-zero if any test fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
"$VESK_ROOT/scripts/setup.sh"
"$VESK_ROOT/scripts/build.sh"
echo "== C++ tests"
ctest --test-dir "$VESK_BUILD" --output-on-failure -j "$(nproc)"
if compgen -G "$VESK_ROOT/tests/python/test_*.py" >/dev/null; then
  echo "== Python tests"
  PYTHONPATH="$VESK_BUILD/python" "$VESK_PYTHON" -m pytest -q "$VESK_ROOT/tests/python"
fi
echo "== all tests passed"
