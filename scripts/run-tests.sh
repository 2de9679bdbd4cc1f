#!/usr/bin/env bash
# Sets up (with the test, benchmark and fuzz tool chain), builds and runs
# every test: the runner's type check and linters (scripts/lint-runner.sh),
# the C++ suite (CTest), the Python suite
# (pytest against the built module), the same suites under sanitizers
# (scripts/run-sanitizers.sh) and a short run of every fuzz target
# (scripts/run-fuzz.sh). Exits non-zero if any of them fails. Prints the time
# of each stage. --quick leaves out the sanitizer and fuzz stages.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

quick=0
[[ "${1:-}" == "--quick" ]] && quick=1

timings=()
stage() {
  local name="$1"; shift
  echo "== $name"
  local start=$SECONDS
  "$@"
  timings+=("$(printf '%-22s %4d s' "$name" "$((SECONDS - start))")")
}

cpp_tests() { ctest --test-dir "$VESK_BUILD" --output-on-failure -j "$(nproc)"; }
python_tests() {
  if compgen -G "$VESK_ROOT/tests/python/test_*.py" >/dev/null; then
    PYTHONPATH="$VESK_BUILD/python" "$VESK_PYTHON" -m pytest -q "$VESK_ROOT/tests/python"
  else
    echo "no Python tests yet"
  fi
}

# The package vesk (python/vesk) under mypy --strict and pyflakes, the MCP
# client scripts of its tests and its example under deno check and lint, the
# links of the documentation and the layers of the core.
vesk_lint() {
  MYPYPATH="$VESK_ROOT/python" "$VESK_PYTHON" -m mypy --strict --cache-dir "$VESK_BUILD/mypy-cache" \
    "$VESK_ROOT/python/vesk"
  "$VESK_PYTHON" -m pyflakes "$VESK_ROOT/python/vesk" "$VESK_ROOT/bench/server_bench.py"
  local dir
  for dir in tests/mcp examples/mcp; do
    (cd "$VESK_ROOT/$dir" && deno check --quiet client.ts && deno lint --quiet client.ts)
  done
  # The web view (browser modules) and the browser tests' driver.
  (cd "$VESK_ROOT" && deno check --quiet --no-config --no-lock ui/*.ts tests/browser/drive.ts &&
     deno lint --quiet --no-config ui/ tests/browser/drive.ts)
  # Every relative link of the README and docs/ leads to a file and a heading.
  "$VESK_PYTHON" "$VESK_ROOT/scripts/check-doc-links.py"
  # The core's folders stay layers: no include points up.
  "$VESK_PYTHON" "$VESK_ROOT/scripts/check-layers.py"
}

stage "setup" "$VESK_ROOT/scripts/setup.sh" --tests
stage "runner lint" "$VESK_ROOT/scripts/lint-runner.sh"
stage "build" "$VESK_ROOT/scripts/build.sh"
stage "lint (vesk)" vesk_lint
stage "C++ tests" cpp_tests
stage "Python tests" python_tests
if ((!quick)); then
  stage "ASan+UBSan (C++)" "$VESK_ROOT/scripts/run-sanitizers.sh" asan
  stage "TSan (C++)" "$VESK_ROOT/scripts/run-sanitizers.sh" tsan
  stage "ASan (Python)" "$VESK_ROOT/scripts/run-sanitizers.sh" python
  stage "fuzz" "$VESK_ROOT/scripts/run-fuzz.sh"
fi
echo "== stage times"
printf '   %s\n' "${timings[@]}"
echo "== all tests passed"
