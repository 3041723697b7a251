#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, then fuzzes each for a bounded time, starting
# from its saved inputs in tests/fuzz/corpus/TARGET.
#
#   bash tools/run-fuzz.sh [TARGET...]      targets: recv send stream_recv stream_send codec_recv
#                                           args name
#                                           (default all)
#
# Environment: FUZZ_SECONDS (default 60) is the time for all targets
# together, the protocol targets getting twice the share of args and name;
# BUILD_DIR (default build-fuzz).
#
# Prints the executions per target. A crash, a broken invariant, a leak or
# a hang fails the run: the input is copied into tests/fuzz/corpus/TARGET as
# a regression case and replayed to show the report. Inputs that reached new
# code stay in BUILD_DIR/corpus/TARGET for the next run, not in the sources.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash tools/setup.sh --fuzz --no-build

build_dir=${BUILD_DIR:-build-fuzz}
total=${FUZZ_SECONDS:-60}
targets=("$@")
((${#targets[@]} > 0)) || targets=(recv send stream_recv stream_send codec_recv args name)

declare -A weight=([recv]=2 [send]=2 [stream_recv]=2 [stream_send]=2 [codec_recv]=2 [args]=1
  [name]=1)
# One peer's worth of input: a few blocks for the receiver, a few dozen
# answers for the sender (each refused block costs a whole block to send),
# a few compressed segments for the decoder.
declare -A max_len=([recv]=6000 [send]=256 [stream_recv]=6000 [stream_send]=512 [codec_recv]=6000
  [args]=512 [name]=256)
shares=0
for target in "${targets[@]}"; do
  if [[ -z ${weight[$target]:-} ]]; then
    echo "run-fuzz.sh: unknown target $target" >&2
    exit 2
  fi
  shares=$((shares + weight[$target]))
done

mkdir -p "$build_dir"
programs=()
for target in "${targets[@]}"; do programs+=(--target "fuzz_$target"); done
if ! {
  cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ -DVELCOT_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build "$build_dir" -j2 "${programs[@]}"
} >"$build_dir/build.log" 2>&1; then
  tail -n 60 "$build_dir/build.log" >&2
  echo "run-fuzz.sh: build failed; full log in $build_dir/build.log" >&2
  exit 1
fi

# Absolute paths: the receiver's target works in a folder of its own, and a
# crash there must still find where its input goes.
build_dir=$(cd "$build_dir" && pwd)
# The targets' scratch folders; a crash leaves its own behind.
export TMPDIR=$build_dir/tmp
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
failed=0
for target in "${targets[@]}"; do
  program=$build_dir/tests/fuzz/fuzz_$target
  seeds=$PWD/tests/fuzz/corpus/$target
  corpus=$build_dir/corpus/$target
  artifacts=$build_dir/artifacts/$target
  log=$build_dir/fuzz-$target.log
  seconds=$((total * weight[$target] / shares))
  ((seconds > 0)) || seconds=1
  mkdir -p "$corpus" "$artifacts"
  rm -f "$artifacts"/*

  # New inputs go to the first folder; the seeds are only read. The
  # targets' own messages are dropped (-close_fd_mask); reports are not.
  status=0
  started=$SECONDS
  "$program" -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=20 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "$seeds" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  inputs=$(find "$corpus" -type f | wc -l)
  printf '%-5s %9s executions in %3d s, %d inputs in %s\n' \
    "$target" "${runs:-?}" "$((SECONDS - started))" "$inputs" "$corpus"
  ((status != 0)) || continue

  failed=1
  kept=0
  for artifact in "$artifacts"/*; do
    [[ -f $artifact && $(basename "$artifact") != slow-unit-* ]] || continue
    cp "$artifact" "$seeds/"
    kept=1
    echo "run-fuzz.sh: $target failed; kept tests/fuzz/corpus/$target/$(basename "$artifact")" \
      "as a regression case" >&2
    "$program" "$artifact" 2>&1 | grep -v '^INFO:' | head -n 60 >&2 || true
  done
  if ((kept == 0)); then
    echo "run-fuzz.sh: $target failed with status $status and left no input; see $log" >&2
    tail -n 40 "$log" >&2
  fi
done
exit "$failed"
