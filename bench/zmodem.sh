#!/usr/bin/env bash
# ZMODEM's goal rows beside their anchors, measured in the same run over
# build/nullmodem, every copy checked. Each transfer is timed from the
# receiver's start, with the sender already waiting, to the sender's end.
#
#   bash bench/zmodem.sh [ROW...]
#
# Rows (default: all): lrzsz (256 KiB of random bytes at 115200: velcot to
# rz and from sz, against sz to rz), usb (the same at 921600 with a 16 ms
# USB latency timer at each end), unpaced (8 MiB on a cable without
# pacing), noisy (bit errors 1e-5 both ways and 20 ms of latency, 3 files of
# 100 KB each way, and lrzsz's own pair: every file right, a clear failure,
# or a hang), resume (a file cut at 50% sent again to rz -r: the bytes the
# line carried, against a whole transfer). lrzsz runs through socat: it
# flushes the line as it exits, which on a pty drops its last answer.
# Prints Markdown tables.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD
rows=("$@")
((${#rows[@]})) || rows=(lrzsz usb unpaced noisy resume)
baud=115200
limit=${LIMIT:-300}
velcot=$repo/build/velcot

source "$repo/bench/peer_ends.sh"
mkdir "$scratch/tx"
head -c 262144 /dev/urandom >"$scratch/tx/big.bin"
for n in 1 2 3; do head -c 100000 /dev/urandom >"$scratch/tx/noisy$n.bin"; done
# HUGE_MIB: the unpaced file's size, larger to see past the ends' start.
head -c $((${HUGE_MIB:-8} * 1048576)) /dev/urandom >"$scratch/tx/huge.bin"

# ---- the rows ----

# Pairs at the cable's and the ends' speed, each with the same file.
pairs() {  # pairs NAME FILE CABLE_OPTIONS -- PAIR...
  local name=$1 file=$2
  shift 2
  local options=()
  while [[ $1 != -- ]]; do
    options+=("$1")
    shift
  done
  shift
  local size
  size=$(stat -c %s "$scratch/tx/$file")
  printf '| pair | seconds | %% of baud/10 | MB/s | right |\n| --- | --- | --- | --- | --- |\n'
  local n=0 pair sender receiver
  for pair in "$@"; do
    IFS='|' read -r sender receiver <<<"$pair"
    n=$((n + 1))
    start_cable "$scratch/$name$n" "${options[@]}"
    transfer "$scratch/$name$n" "$sender" "$receiver" "$file"
    stop_cable
    printf '| %s → %s | %.1f | %s | %.2f | %s |\n' "$sender" "$receiver" "$seconds" \
      "$(percent "$seconds" "$size")" "$(echo "$size / $seconds / 1000000" | bc -l)" \
      "$([[ $status == 0 && $right == 1 ]] && echo yes || echo "no ($status)")"
  done
}

row_lrzsz() {
  pairs lrzsz big.bin -b $baud -- "sz|rz" "velcot --protocol zmodem|rz" \
    "sz|velcot --protocol zmodem" "velcot|rz" "sz|rz"
}

row_usb() {
  baud=921600 pairs usb big.bin -b 921600 --usb-latency-a 16 --usb-latency-b 16 -- "sz|rz" \
    "velcot --protocol zmodem|rz" "sz|velcot --protocol zmodem" "sz|rz"
}

row_unpaced() {
  pairs unpaced huge.bin -b 0 -- "sz|rz" "velcot --protocol zmodem|rz" \
    "sz|velcot --protocol zmodem" "sz|rz"
}

row_noisy() {
  printf '| pair | seconds | status | files right | wrong file stored | hung |\n'
  printf '| --- | --- | --- | --- | --- | --- |\n'
  local n=0 pair sender receiver
  for pair in "velcot --protocol zmodem|rz" "sz|velcot --protocol zmodem" "sz|rz"; do
    IFS='|' read -r sender receiver <<<"$pair"
    n=$((n + 1))
    start_cable "$scratch/noisy$n" -b $baud --ber-ab 1e-5 --ber-ba 1e-5 --latency-ms 20 --seed $n
    transfer "$scratch/noisy$n" "$sender" "$receiver" noisy1.bin noisy2.bin noisy3.bin
    stop_cable
    local wrong=0
    for f in "$scratch/noisy$n/rx"/*; do
      [[ -e $f ]] || continue
      cmp -s "$f" "$scratch/tx/$(basename "$f")" || wrong=$((wrong + 1))
    done
    printf '| %s → %s | %.1f | %s | %s/3 | %s | %s |\n' "$sender" "$receiver" "$seconds" \
      "$status" "$right" "$wrong" \
      "$([[ $status == 124 ]] && echo "yes (stopped at ${limit} s)" || echo no)"
  done
}

# Bytes the cable carried from the sender in its log.
carried() { sed -n 's/^A->B: \([0-9]*\) bytes carried.*/\1/p' "$1/nullmodem.log"; }

row_resume() {
  printf '| pair | held by rz -r | bytes carried | seconds | right |\n| --- | --- | --- | --- | --- |\n'
  local n=0 pair sender held
  for pair in "sz|0" "velcot --protocol zmodem|0" "sz|131072" "velcot --protocol zmodem|131072"; do
    IFS='|' read -r sender held <<<"$pair"
    n=$((n + 1))
    mkdir -p "$scratch/resume$n/rx"
    ((held == 0)) || head -c "$held" "$scratch/tx/big.bin" >"$scratch/resume$n/rx/big.bin"
    start_cable "$scratch/resume$n" -b $baud
    transfer "$scratch/resume$n" "$sender" "rz -r" big.bin
    stop_cable
    printf '| %s → rz -r | %s | %s | %.1f | %s |\n' "$sender" "$held" \
      "$(carried "$scratch/resume$n")" "$seconds" \
      "$([[ $status == 0 && $right == 1 ]] && echo yes || echo "no ($status)")"
  done
}

for row in "${rows[@]}"; do
  echo "### $row"
  echo
  "row_$row"
  echo
done
