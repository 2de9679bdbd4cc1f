#!/usr/bin/env bash
# Installs what building, testing and running vesk needs, and nothing twice:
#   - Debian packages (compiler tool chain, libraries, bubblewrap, pytest, and
#     clang with its libFuzzer runtime for the fuzz targets);
#   - Deno, from the npm package "deno" at a pinned version, into .tools/;
#   - Deno's cache warmed with npm:pyodide, so the first session starts offline.
# Run as root on Debian 12 to install; run as anyone to check. A second run
# finishes in seconds. Afterwards put .tools/bin first on PATH (scripts/env.sh).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TOOLS="$ROOT/.tools"
DENO_VERSION="2.9.6"

PACKAGES=(
  build-essential cmake ninja-build pkg-config git patch
  python3 python3-dev python3-pytest
  libgtest-dev libgmock-dev libbenchmark-dev
  libtomlplusplus-dev libsimdjson-dev nlohmann-json3-dev
  bubblewrap
  # libFuzzer comes with clang only. clang 19: older ones lack the concepts
  # level that libstdc++ 12 asks of <expected>.
  clang-19 libclang-rt-19-dev
)
command -v npm >/dev/null 2>&1 || PACKAGES+=(nodejs npm)

say() { printf 'setup: %s\n' "$*"; }

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
  [[ -x "$deno_bin" ]] || { say "deno binary missing after npm install"; exit 1; }
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
if ! compgen -G "$cache/npm/registry.npmjs.org/pyodide/*/pyodide.asm.wasm" >/dev/null; then
  say "warming Deno's cache ($cache) with npm:pyodide"
  warm_dir="$(mktemp -d)"
  trap 'rm -rf "$warm_dir"' EXIT
  cat >"$warm_dir/warm.ts" <<'EOF'
// @ts-nocheck
import { loadPyodide } from "npm:pyodide";
const pyodide = await loadPyodide();
pyodide.runPython("1 + 1");
console.log("pyodide", pyodide.version);
EOF
  (cd "$warm_dir" && "$TOOLS/bin/deno" run --allow-all --quiet warm.ts)
fi

say "ready (deno $DENO_VERSION, Deno cache $cache)"
