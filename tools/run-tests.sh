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
cd "${BUILD_DIR:-build}"
# A run that finds no test fails (ctest says so itself from CMake 3.17 on).
ctest -N | grep -q '^Total Tests: [1-9]' || { echo "run-tests.sh: no tests found" >&2; exit 1; }
ctest --output-on-failure "${parallel[@]}" "$@" || status=$?
exit "$status"
