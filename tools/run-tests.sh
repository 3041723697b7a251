#!/usr/bin/env bash
# Installs what is missing, builds everything into build/ (and the Windows
# program into build-win32/, whose tests run under Wine) and runs every
# test suite. Extra arguments go to ctest (e.g. -R e2e, or -V).
# Exits with ctest's status.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash tools/setup.sh

# The suites share nothing (each test has its own pseudo-terminals and
# scratch directory), so they run two at a time unless told otherwise.
parallel=()
[[ -n ${CTEST_PARALLEL_LEVEL:-} ]] || parallel=(-j2)

status=0
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure --no-tests=error \
  "${parallel[@]}" "$@" || status=$?
exit "$status"
