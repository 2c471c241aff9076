#!/usr/bin/env bash
# Runs every fuzz target for a bounded time (seconds per target, default 20):
#   fuzz/run.sh [seconds]
# Needs atheris (pip install atheris) and the package installed or on PYTHONPATH.
# Any crash or mismatch stops the run with a reproducer file (crash-*) in the
# current directory; add it as a regression test. An input that runs past
# 60 s counts as a crash, and a target that outlives its time by minutes is
# stopped: a hang must fail the run, not eat the time of everything after it.
set -euo pipefail
cd "$(dirname "$0")"
SECONDS_PER_TARGET=${1:-20}
PY=${PYTHON:-python3}
log=$(mktemp)
for target in fuzz_*.py; do
    echo "== $target"
    if ! timeout --kill-after=10 $((SECONDS_PER_TARGET + 180)) "$PY" "$target" -max_total_time="$SECONDS_PER_TARGET" \
            -timeout=60 -print_final_stats=1 > "$log" 2>&1; then
        tail -n 40 "$log"
        exit 1
    fi
    grep -E "^Done" "$log" || true
done
rm -f "$log"
