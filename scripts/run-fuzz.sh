#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/<name>_fuzz.cpp) with clang under
# AddressSanitizer + UndefinedBehaviorSanitizer (and with the standard
# library's own index checks) into build-fuzz/ and runs each
# for a fixed budget, starting from its seed corpus in fuzz/corpus/<name>.
# Prints the executions of every target; exits non-zero if any target found a
# crash, a leak, a time-out or a failed check (the input that did it is kept
# in build-fuzz/artifacts/).
#
#   run-fuzz.sh                  every target, 20 seconds each (what CI runs)
#   run-fuzz.sh --time 600 diff  a longer local run of one target
#   run-fuzz.sh --runs 100000    a fixed number of inputs instead of a time
#
# What a run discovers is kept in build-fuzz/corpus/<name> and used again by
# the next run; the seeds in the repository are never written to.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

budget=(-max_total_time=20)
targets=()
while (($#)); do
  case "$1" in
    --time) budget=(-max_total_time="$2"); shift 2 ;;
    --runs) budget=(-runs="$2"); shift 2 ;;
    -h | --help) sed -n '2,15p' "${BASH_SOURCE[0]}"; exit 0 ;;
    -*) echo "run-fuzz: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if ((${#targets[@]} == 0)); then
  for f in "$VESK_ROOT"/fuzz/*_fuzz.cpp; do
    name="$(basename "$f" .cpp)"
    targets+=("${name%_fuzz}")
  done
fi

CLANG="${VESK_CLANG:-clang-19}"
BUILD="$VESK_ROOT/build-fuzz"
if [[ ! -f "$BUILD/build.ninja" ]]; then
  CC="$CLANG" CXX="${CLANG/clang/clang++}" cmake -S "$VESK_ROOT" -B "$BUILD" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g -DNDEBUG -D_GLIBCXX_ASSERTIONS" \
    -DVESK_WERROR=ON -DVESK_BUILD_FUZZ=ON \
    -DVESK_SANITIZE=address,undefined -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_PYTHON=OFF \
    -DVESK_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$BUILD"

export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p "$BUILD/artifacts"
failed=()
for t in "${targets[@]}"; do
  bin="$BUILD/fuzz/${t}_fuzz"
  seeds="$VESK_ROOT/fuzz/corpus/$t"
  [[ -x "$bin" && -d "$seeds" ]] || { echo "run-fuzz: no target '$t'" >&2; exit 2; }
  work="$BUILD/corpus/$t"
  log="$BUILD/artifacts/$t.log"
  mkdir -p "$work"
  start=$SECONDS
  # New finds go into the first directory; the seeds are only read. -timeout:
  # one input running longer than this counts as a hang.
  status=0
  "$bin" "${budget[@]}" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$BUILD/artifacts/$t-" "$work" "$seeds" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)"
  printf '%-8s %10s executions in %3d s' "$t" "${runs:-?}" "$((SECONDS - start))"
  if ((status != 0)); then
    printf '  FAILED (exit %d), log: %s\n' "$status" "$log"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*check failed|.*disagrees)' "$log" | head -n 5 || true
    failed+=("$t")
  else
    printf '  no crash\n'
  fi
done
if ((${#failed[@]})); then
  echo "run-fuzz: failures in ${failed[*]}" >&2
  exit 1
fi
