# Sourced by the other scripts: the project's tools first on PATH.
VESK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export PATH="$VESK_ROOT/.tools/bin:$PATH"
VESK_BUILD="${VESK_BUILD:-$VESK_ROOT/build}"
# Debian's interpreter: it has pytest from python3-pytest; the abi3 module
# imports in any CPython from 3.10 on.
VESK_PYTHON="${VESK_PYTHON:-/usr/bin/python3}"
