#!/usr/bin/env bash
# Runs every fuzz target for a bounded time (seconds per target, default 20):
#   fuzz/run.sh [seconds]
# Needs atheris (pip install atheris) and the package installed or on PYTHONPATH.
# Any crash or mismatch stops the run with a reproducer file (crash-*) in the
# current directory; add it as a regression test.
set -euo pipefail
cd "$(dirname "$0")"
SECONDS_PER_TARGET=${1:-20}
PY=${PYTHON:-python3}
for target in fuzz_*.py; do
    echo "== $target"
    "$PY" "$target" -max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 2>&1 \
        | grep -E "^(Done|stat::number_of_executed_units|==[0-9]+==|.*Error|.*assert)" || true
    test "${PIPESTATUS[0]}" -eq 0
done
