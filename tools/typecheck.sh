#!/usr/bin/env bash
# The typed, documented API: the stubs against the modules as they run
# (stubtest), mypy --strict on examples/ and on the README's Python examples,
# and the API reference built by the README's command.
#   tools/typecheck.sh
# Checks the askweave that $PYTHON imports (default .venv/bin/python: the
# installed package, or the one PYTHONPATH names).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
PYTHON="${PYTHON:-$ROOT/.venv/bin/python}"
"$PYTHON" -m pip install -q "mypy>=1.18" pdoc
OUT="$(mktemp -d)"
trap 'rm -rf "$OUT"' EXIT
"$PYTHON" tools/readme_examples.py "$OUT/readme" > /dev/null
# From a scratch directory: the checked package is the one the interpreter
# imports, never the source tree next to it.
cd "$OUT"

echo "== stubtest: the stubs against the modules"
"$PYTHON" -m mypy.stubtest askweave \
    --allowlist "$ROOT/tools/stubtest_allowlist.txt"

echo "== mypy --strict: examples/ and the README's examples"
"$PYTHON" -m mypy --strict --cache-dir "$OUT/cache" "$ROOT/examples" "$OUT/readme"

echo "== API reference (pdoc)"
"$PYTHON" -m pdoc -d google -o "$OUT/api" askweave askweave.schemasift askweave.turnlens askweave.sql askweave.cli
for page in askweave.html askweave/schemasift.html askweave/turnlens.html; do
    [ -s "$OUT/api/$page" ] || { echo "pdoc wrote no $page" >&2; exit 1; }
done
echo "typecheck: ok"
