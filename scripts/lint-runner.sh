#!/usr/bin/env bash
# Checks the runner's sources: its TypeScript modules with Deno's type checker
# and linter (runner/*.ts), the Python it carries with pyflakes (runner/*.py).
# Exits non-zero on any finding. No configuration file: Deno's defaults are
# strict type checking and its recommended lint rules. Pyodide's own type
# declarations come from Deno's cache, which scripts/setup.sh has filled;
# --cached-only keeps the check from fetching anything.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$VESK_ROOT"
deno check --quiet --no-config --no-lock --cached-only runner/*.ts
deno lint --quiet --no-config runner/
"$VESK_PYTHON" -m pyflakes runner/*.py
echo "runner sources: type check and lint clean"
