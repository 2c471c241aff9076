#!/usr/bin/env bash
# Builds both extension modules with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the test suite against them:  tools/sanitize.sh [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DASKWEAVE_SANITIZE=ON \
      -DPython_EXECUTABLE="$(command -v "$PY")" > /dev/null
ninja -C build-asan schemasift turnlens > /dev/null
rm -rf build-asan/pkg && mkdir -p build-asan/pkg
cp -r python/askweave build-asan/pkg/
rm -f build-asan/pkg/askweave/*.so
cp build-asan/*.so build-asan/pkg/askweave/
export LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc
# Every check runs, with fewer repetitions: the sanitized build is several times slower.
export ASKWEAVE_SANITIZED=1 ASKWEAVE_LEAK_CALLS=${ASKWEAVE_LEAK_CALLS:-4000} HYPOTHESIS_PROFILE=${HYPOTHESIS_PROFILE:-sanitize}
export PYTHONPATH="$PWD/build-asan/pkg"
exec "$PY" -m pytest -q -p no:cacheprovider "${@:-tests}"
