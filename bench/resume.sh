#!/usr/bin/env bash
# Measures resume: a file of random bytes sent whole over build/nullmodem,
# the same file cut at a share of its bytes (nullmodem --cut-after) and then
# sent again, which goes on from the part the receiver kept. Prints a
# Markdown table: the whole transfer's time, the kept part, the resend's
# time and its share of the whole transfer's.
#
#   bash bench/resume.sh [ROWS...]
#
# A row is BAUD:BYTES:PERCENT (default 115200:4194304:90 9600:20000:90).
# The whole transfer and the cut one run side by side on two cables (the
# line is paced in real time, so they do not slow each other), then the
# resend. VELCOT (default build/velcot) is the program measured.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
VELCOT=${VELCOT:-$PWD/build/velcot}
NULLMODEM=${NULLMODEM:-$PWD/build/nullmodem}
[[ -x $VELCOT && -x $NULLMODEM ]] || bash tools/setup.sh velcot nullmodem
rows=("$@")
((${#rows[@]})) || rows=(115200:4194304:90 9600:20000:90)
scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# One transfer of tx/FILE to rx/ on a cable of its own in DIR at BAUD, the
# cable's other options after; prints the sender's wall time in seconds.
transfer() {
  local dir=$1 baud=$2 file=$3
  shift 3
  mkdir -p "$dir/run"
  "$NULLMODEM" -b "$baud" "$@" "$dir/run/A" "$dir/run/B" 2>"$dir/run/cable.log" &
  local cable=$!
  pids+=("$cable")
  while ! grep -q . "$dir/run/cable.log" 2>/dev/null; do sleep 0.05; done
  (cd "$dir/rx" && exec "$VELCOT" -p "$dir/run/B" -b "$baud" >"$dir/run/rx.out" 2>"$dir/run/rx.err") &
  local receiver=$!
  pids+=("$receiver")
  sleep 0.3
  local start end
  start=$(date +%s.%N)
  (cd "$dir/tx" && "$VELCOT" -p "$dir/run/A" -b "$baud" "$file" >"$dir/run/tx.out" 2>"$dir/run/tx.err") || true
  end=$(date +%s.%N)
  kill "$cable" 2>/dev/null || true
  wait "$receiver" 2>/dev/null || true
  wait "$cable" 2>/dev/null || true
  rm -rf "$dir/run"
  echo "$end - $start" | bc -l
}

echo "| baud | size | whole transfer | cut at | kept part | resend | resend of whole |"
echo "| --- | --- | --- | --- | --- | --- | --- |"
for row in "${rows[@]}"; do
  IFS=: read -r baud bytes percent <<<"$row"
  for run in whole cut; do
    mkdir -p "$scratch/$row/$run/tx" "$scratch/$row/$run/rx"
  done
  head -c "$bytes" /dev/urandom >"$scratch/$row/whole/tx/file.bin"
  cp -p "$scratch/$row/whole/tx/file.bin" "$scratch/$row/cut/tx/file.bin"
  # Both ways, the data is nearly all the line carries.
  cut_after=$((bytes * percent / 100))
  transfer "$scratch/$row/whole" "$baud" file.bin >"$scratch/$row/whole.time" &
  whole_job=$!
  transfer "$scratch/$row/cut" "$baud" file.bin --cut-after "$cut_after" >/dev/null
  wait "$whole_job"
  kept=$(find "$scratch/$row/cut/rx" -name '.velcot-*.part' -printf '%s\n' | head -1)
  resend=$(transfer "$scratch/$row/cut" "$baud" file.bin)
  cmp -s "$scratch/$row/cut/tx/file.bin" "$scratch/$row/cut/rx/file.bin" || {
    echo "resent file differs: $row" >&2
    exit 1
  }
  whole=$(cat "$scratch/$row/whole.time")
  printf '| %s | %s | %.2f s | %s%% | %s (%.1f%%) | %.2f s | %.1f%% |\n' "$baud" "$bytes" "$whole" \
    "$percent" "${kept:-none}" "$(echo "${kept:-0} * 100 / $bytes" | bc -l)" "$resend" \
    "$(echo "$resend * 100 / $whole" | bc -l)"
done
