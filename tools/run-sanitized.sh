#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-asan/ and runs every test suite there; the end-to-end tests
# start the sanitized velcot. Extra arguments go to ctest.
#
# A sanitizer report fails the run even when it comes from a process whose
# exit no test looks at: every report is also written to
# BUILD_DIR/sanitizer-reports and shown at the end.
# Environment: BUILD_DIR (default build-asan), and what run-tests.sh takes.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
export BUILD_DIR=${BUILD_DIR:-build-asan}
export CMAKE_OPTIONS="-DVELCOT_SANITIZE=ON ${CMAKE_OPTIONS:-}"

reports=$PWD/$BUILD_DIR/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="log_path=$reports/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

status=0
bash tools/run-tests.sh "$@" || status=$?
for report in "$reports"/*; do
  [[ -f $report ]] || continue
  echo "run-sanitized.sh: sanitizer report $report:" >&2
  cat "$report" >&2
  status=1
done
exit "$status"
