#!/usr/bin/env bash
# Runs the tests under sanitizers, each kind built in a directory of its own:
#   asan    build-asan: AddressSanitizer + UndefinedBehaviorSanitizer (and the
#           leak checker that comes with ASan), every C++ test;
#   tsan    build-tsan: ThreadSanitizer, the C++ tests of the code that shares
#           state between threads (TSAN_TESTS below);
#   python  the Python tests of the module against build-asan's build of it,
#           with the ASan runtime preloaded into the interpreter (skipped
#           while no test file uses the module).
# Zero reports is the bar: undefined behaviour stops the program (no
# recovery), and every sanitizer makes its process exit non-zero, so a report
# fails the test that caused it. With arguments, runs only the stages named
# (e.g. `run-sanitizers.sh tsan`). Prints how long each stage took.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

# CTest names are Suite.Case. The thread sanitizer runs the suites that start
# threads or hand one child process to several threads: pipes and children
# with their watchdogs and reaper, the runner's reader threads, the sandbox, the parker.
TSAN_TESTS='^(IoTest|ProcessTest|RunnerTest|RealRunner|Engine|SandboxTest|MountTest|WorkspaceTest|ParallelForTest|ParkingTest|Session\w*)\.'

export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="second_deadlock_stack=1"

# Configures (once) and builds one sanitizer build. -O1, as the sanitizers
# advise: reports keep their frames, and the build takes about a third less
# time than at -O2.
build() {
  local dir="$1" flags="$2"; shift 2
  if [[ ! -f "$dir/build.ninja" ]]; then
    cmake -S "$VESK_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG $flags" -DPython3_EXECUTABLE="$VESK_PYTHON" \
      -DVESK_WERROR=ON -DVESK_BUILD_BENCH=OFF "$@" >/dev/null
  fi
  cmake --build "$dir"
}

# The address build also checks every index into the standard containers
# (an index past the end but within the capacity is no overflow to ASan).
build_asan() {
  build "$VESK_ROOT/build-asan" "-D_GLIBCXX_ASSERTIONS" -DVESK_SANITIZE=address,undefined
}

stage_asan() {
  build_asan
  ctest --test-dir "$VESK_ROOT/build-asan" --output-on-failure -j "$(nproc)"
}

stage_tsan() {
  build "$VESK_ROOT/build-tsan" "" -DVESK_SANITIZE=thread -DVESK_BUILD_PYTHON=OFF
  ctest --test-dir "$VESK_ROOT/build-tsan" --output-on-failure -j "$(nproc)" \
    -R "$TSAN_TESTS" --no-tests=error
}

stage_python() {
  # Only the test files that use the module: the others drive the runner
  # script directly and have nothing of ours to check.
  local files
  mapfile -t files < <(grep -l 'vesk_internal' "$VESK_ROOT"/tests/python/test_*.py 2>/dev/null || true)
  if ((${#files[@]} == 0)); then
    echo "no Python tests of the module yet"
    return 0
  fi
  build_asan
  # The interpreter is not instrumented, so the ASan runtime must be loaded
  # before anything else: a wrapper preloads it and runs Debian's python3.
  # Every interpreter started so (some tests start fresh ones through
  # sys.executable) first runs the sitecustomize below, which takes
  # LD_PRELOAD out of the environment again, since the runner and the
  # sandbox that the module starts are other programs, not ours to check
  # (Deno's own allocations would read as leaks), and makes the wrapper its
  # sys.executable. PYTHONMALLOC=malloc puts every Python object under ASan's
  # allocator, so a reference dropped once too often shows as a use after
  # free instead of going unnoticed in the interpreter's own pools.
  local dir="$VESK_ROOT/build-asan/python-asan"
  mkdir -p "$dir"
  # libstdc++ is preloaded too: ASan finds the real __cxa_throw when it
  # starts, and the interpreter, a C program, would load libstdc++ only with
  # the module, too late, so the first C++ exception would stop ASan itself.
  printf '#!/bin/sh\nLD_PRELOAD=%q exec %q "$@"\n' \
    "$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so.6)" \
    "$VESK_PYTHON" >"$dir/python3"
  chmod +x "$dir/python3"
  printf 'import os, sys\nos.environ.pop("LD_PRELOAD", None)\nsys.executable = %s\n' \
    "'$dir/python3'" >"$dir/sitecustomize.py"
  PYTHONMALLOC=malloc PYTHONPATH="$VESK_ROOT/build-asan/python:$dir" \
    "$dir/python3" -m pytest -q -p no:cacheprovider "${files[@]}"
}

stages=("$@")
((${#stages[@]})) || stages=(asan tsan python)
for s in "${stages[@]}"; do
  case "$s" in
    asan | tsan | python) ;;
    *) echo "run-sanitizers: unknown stage '$s' (asan, tsan, python)" >&2; exit 2 ;;
  esac
  echo "== sanitizers: $s"
  start=$SECONDS
  "stage_$s"
  echo "== sanitizers: $s done in $((SECONDS - start)) s"
done
