#!/usr/bin/env bash
# The checks beyond the test suite, run by CI after it: the stubs and examples
# under the type checker, the whole suite against an AddressSanitizer + UBSan
# build, then every fuzz target for a bounded time.
#   tools/deep_checks.sh [fuzz seconds per target, default 20]
# Uses (and completes) the .venv made by the README's test command.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV="$PWD/.venv"
[ -x "$VENV/bin/python" ] || { echo "run the README's test command first (it makes .venv)" >&2; exit 2; }
"$VENV/bin/pip" install -q cmake ninja atheris
export PATH="$VENV/bin:$PATH" PYTHON="$VENV/bin/python" HF_HUB_OFFLINE=1

echo "== types: stubtest, mypy --strict on the examples, the API reference"
tools/typecheck.sh

echo "== sanitizers: the test suite against an ASan + UBSan build"
tools/sanitize.sh tests

echo "== fuzzing: ${1:-20} s per target"
fuzz/run.sh "${1:-20}"
