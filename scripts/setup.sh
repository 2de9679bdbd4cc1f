#!/usr/bin/env bash
# Installs what building and running vesk needs, and nothing twice:
#   - Debian packages: the tool chain, the libraries and bubblewrap; with
#     --tests also what the tests, benchmarks and fuzz targets need (GoogleTest,
#     Google Benchmark, pytest, pyflakes, git and patch, clang 19 with
#     libFuzzer, PostgreSQL and psycopg for the PostgreSQL store, HAProxy);
#   - Deno, from the npm package "deno" at a pinned version, into .tools/;
#   - Deno's cache warmed with npm:pyodide at the version the runner imports,
#     so the first session starts offline;
#   - the MCP client SDK for the tour's client into .tools/mcp-sdk, and with
#     --tests the MCP conformance suite and both versions of the client SDK
#     (the second speaks revision 2026-07-28) into .tools/mcp, and
#     puppeteer-core for the web view's browser tests into .tools/browser
#     (driving Debian's chromium), all from npm
#     as their package-lock.json files pin them (a changed lock reinstalls);
#   - with --cluster PostgreSQL, psycopg and HAProxy (scripts/run-cluster.sh).
# Run as root on Debian 12 to install; run as anyone to check. A second run
# finishes in seconds. Afterwards put .tools/bin first on PATH (scripts/env.sh).
#
# Nothing in Deno's cache is ever executed here: code run in sessions may
# have written that cache (see docs/trust.md), so it may hold
# anything: the cache is only filled with `deno cache`, which downloads and
# executes nothing, and the cached Pyodide is compared file by file with the
# package as the npm registry publishes it (`npm pack` checks the tarball
# against the registry's integrity hash). A difference removes the cached
# package and fetches it again.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TOOLS="$ROOT/.tools"
DENO_VERSION="2.9.6"
# What the runner (runner/pyodide.ts) imports: npm:pyodide@PYODIDE_VERSION.
PYODIDE_VERSION="314.0.8"

tests=0
cluster=0
for arg in "$@"; do
  case "$arg" in
    --tests) tests=1 ;;
    --cluster) cluster=1 ;;
    *) printf 'usage: %s [--tests] [--cluster]\n' "$0" >&2; exit 2 ;;
  esac
done

# What the module and the tour need.
PACKAGES=(
  build-essential cmake ninja-build pkg-config
  python3 python3-dev
  libtomlplusplus-dev libsimdjson-dev nlohmann-json3-dev libssl-dev libzstd-dev
  bubblewrap
)
if ((tests)); then
  PACKAGES+=(
    git patch python3-pytest
    # The vesk package (mypy, pyflakes) and the runner's Python (pyflakes).
    python3-mypy python3-pyflakes
    libgtest-dev libgmock-dev libbenchmark-dev
    # libFuzzer comes with clang only. clang 19: older ones lack the concepts
    # level that libstdc++ 12 asks of <expected>.
    clang-19 libclang-rt-19-dev
    # The PostgreSQL store (a private cluster: scripts/pg-private.sh) and
    # the cluster's balancer.
    postgresql python3-psycopg haproxy
    # The web view's tests drive it headless (with puppeteer-core, below);
    # the metrics tests parse the page with Prometheus's own parser.
    chromium python3-prometheus-client
  )
fi
# --cluster: what scripts/run-cluster.sh needs beyond the module.
((cluster)) && PACKAGES+=(postgresql python3-psycopg haproxy)
command -v npm >/dev/null 2>&1 || PACKAGES+=(nodejs npm)

say() { printf 'setup: %s\n' "$*"; }
die() { say "$*" >&2; exit 1; }

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    say "missing Debian packages; as root run:"
    printf '  apt-get update && apt-get install -y %s\n' "${missing[*]}"
    exit 1
  fi
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Deno, pinned, project-local: .tools/bin/deno.
deno_bin="$TOOLS/node_modules/deno/deno"
have=""
[[ -x "$deno_bin" ]] && have="$("$deno_bin" --version 2>/dev/null | head -n1 | awk '{print $2}')"
if [[ "$have" != "$DENO_VERSION" ]]; then
  say "installing deno $DENO_VERSION from npm into .tools"
  mkdir -p "$TOOLS"
  # --foreground-scripts: the package's install script picks the platform
  # binary; allow it explicitly on npm versions that gate install scripts.
  npm install --prefix "$TOOLS" --no-audit --no-fund --no-save --loglevel=error \
    "deno@$DENO_VERSION" >/dev/null
  [[ -x "$deno_bin" ]] || die "deno binary missing after npm install"
fi
mkdir -p "$TOOLS/bin"
ln -sfn "$deno_bin" "$TOOLS/bin/deno"

# Deno's cache directory, found the way Deno itself finds it.
if [[ -n "${DENO_DIR:-}" ]]; then
  cache="$DENO_DIR"
elif [[ -n "${XDG_CACHE_HOME:-}" ]]; then
  cache="$XDG_CACHE_HOME/deno"
else
  cache="${HOME:-${TMPDIR:-/tmp}}/.cache/deno"
fi
pyodide_dir="$cache/npm/registry.npmjs.org/pyodide"
package_dir="$pyodide_dir/$PYODIDE_VERSION"
# Written after a successful comparison; it names the cache it vouches for.
# It lives in .tools, which runners cannot write, and it is compared with the
# files' change times (ctime), which, unlike modification times, no process
# can set back.
stamp="$TOOLS/pyodide-$PYODIDE_VERSION.verified"

scratch=""
cleanup() { [[ -z "$scratch" ]] || rm -rf "$scratch"; }
trap cleanup EXIT

stamp_holds() {
  [[ -f "$stamp" && -d "$package_dir" ]] || return 1
  [[ "$(cat "$stamp")" == "$cache" ]] || return 1
  # Anything created, changed, renamed or removed there since changes the
  # ctime of the file or of its directory.
  [[ -z "$(find "$pyodide_dir" -cnewer "$stamp" -print -quit)" ]]
}

# Downloads and extracts nothing but the package's files: no module is
# loaded, no script of any package runs. From an empty directory, so that no
# deno.json or lock file of anyone else's steers it.
warm() {
  say "fetching npm:pyodide@$PYODIDE_VERSION into Deno's cache ($cache)"
  local empty
  empty="$(mktemp -d)"
  (cd "$empty" && "$TOOLS/bin/deno" cache --no-config --no-lock --quiet \
    "npm:pyodide@$PYODIDE_VERSION") || { rm -rf "$empty"; die "deno cache failed"; }
  rm -rf "$empty"
}

# The registry's package, extracted once per run into $scratch/package.
reference() {
  [[ -n "$scratch" ]] && return 0
  scratch="$(mktemp -d)"
  local tarball
  tarball="$(cd "$scratch" && npm pack "pyodide@$PYODIDE_VERSION" --pack-destination "$scratch" \
    --ignore-scripts --prefer-offline --silent)" || die "npm pack pyodide@$PYODIDE_VERSION failed"
  tar -xzf "$scratch/$tarball" -C "$scratch" || die "cannot extract $tarball"
  [[ -d "$scratch/package" ]] || die "$tarball holds no package/ directory"
}

# True when the cached package holds exactly the registry's files, byte for
# byte, and nothing else (links compared as links).
cache_matches() {
  [[ -d "$package_dir" ]] || return 1
  reference
  diff -rq --no-dereference "$scratch/package" "$package_dir" >/dev/null 2>&1
}

if stamp_holds; then
  say "Deno's cache holds npm:pyodide@$PYODIDE_VERSION as published (checked before)"
else
  [[ -d "$package_dir" ]] || warm
  if ! cache_matches; then
    say "cached npm:pyodide@$PYODIDE_VERSION differs from the registry's; fetching it again"
    # Its registry metadata goes too: it says where the tarball comes from.
    rm -rf "$pyodide_dir"
    warm
    cache_matches || die "cached npm:pyodide@$PYODIDE_VERSION still differs from the registry's package"
  fi
  mkdir -p "$TOOLS"
  printf '%s' "$cache" >"$stamp"
  say "Deno's cache holds npm:pyodide@$PYODIDE_VERSION as published"
fi

# npm packages exactly as a package-lock.json pins them, into a directory of
# .tools (no install script runs); skipped while that lock is installed.
npm_tree() {
  local from="$1" into="$2"
  if ! cmp -s "$from/package-lock.json" "$into/installed.lock"; then
    say "installing the npm packages of ${from#"$ROOT"/} into ${into#"$ROOT"/}"
    rm -rf "$into"
    mkdir -p "$into"
    cp "$from/package.json" "$from/package-lock.json" "$into/"
    (cd "$into" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null) ||
      die "npm ci of $from failed"
    cp "$into/package-lock.json" "$into/installed.lock"
  fi
}
# The official MCP client SDK, for the tour's client (examples/mcp); with
# --tests also the conformance suite and the SDK clients, for the server's
# tests (tests/mcp).
npm_tree "$ROOT/examples/mcp" "$TOOLS/mcp-sdk"
if ((tests)); then
  npm_tree "$ROOT/tests/mcp" "$TOOLS/mcp"
  npm_tree "$ROOT/tests/browser" "$TOOLS/browser"
fi

say "ready (deno $DENO_VERSION, Deno cache $cache)"
