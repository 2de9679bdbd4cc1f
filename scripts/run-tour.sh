#!/usr/bin/env bash
# Sets up, builds and runs the example tour: what a user does with vesk. It
# installs and builds only what the module needs (no test, benchmark or fuzz
# tool chain); scripts/run-tests.sh adds those.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
"$VESK_ROOT/scripts/setup.sh"
"$VESK_ROOT/scripts/build.sh" --module >/dev/null
PYTHONPATH="$VESK_BUILD/python" exec "$VESK_PYTHON" "$VESK_ROOT/examples/tour.py" "$@"
