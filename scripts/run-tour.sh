#!/usr/bin/env bash
# Sets up, builds and runs the example tour: what a user does with vesk.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
"$VESK_ROOT/scripts/setup.sh"
"$VESK_ROOT/scripts/build.sh" >/dev/null
PYTHONPATH="$VESK_BUILD/python" exec "$VESK_PYTHON" "$VESK_ROOT/examples/tour.py" "$@"
