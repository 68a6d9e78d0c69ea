#!/usr/bin/env bash
# Builds both extension modules with AddressSanitizer and UndefinedBehaviorSanitizer into
# .venv-asan and runs the whole test suite under them. Not part of CI (it is slow).
# PYTHON=/path/to/python picks the interpreter, as for scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/_env.sh
plenx_python
plenx_venv .venv-asan
"$VPY" -m pip install --quiet --disable-pip-version-check \
    -C cmake.define.PLENX_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir=build/asan ".[test]"
# The interpreter itself is not instrumented, so the runtime is preloaded; the interpreter keeps
# memory for its whole life on purpose, so leak reports would be noise.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
exec "$VPY" -P -m pytest -q "${@:-tests}"
