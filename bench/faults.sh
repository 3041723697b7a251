#!/usr/bin/env bash
# Sends 1 MiB files over the virtual cable with bit errors both ways and
# counts what became of them; prints a table (Markdown). Not a test: the
# figures describe what a noisy line does to a build.
#
#   bash bench/faults.sh [-e NAME=VALUE]... [VELCOT]
#
# VELCOT is the program to run at both ends (default build/velcot), so an
# older build can be measured on the same cable (build/nullmodem). -e adds
# a variable to both ends' environment, which they otherwise inherit from
# the script's. SEEDS (default 10) runs per setting, BERS (default "1e-4
# 1e-5") the bit error rates, set for both directions (--ber-ab, --ber-ba),
# CABLE more options for the cable (e.g. "--latency-ms 50", "--noise-a
# 300", "--cut-after 500000"; see build/nullmodem -h).
#
# Each run: the receiver's folder holds an old file of the name first; the
# sender sends one file, 1048576 bytes (every block full) or 1048000 (the
# last one short), over an unpaced cable (-b 0) at the seed's errors. A run
# with the ends out of step waits for a stall limit (30 s), so a setting
# takes up to about 10 minutes.
#
# Columns, per setting: right (the stored file is the file sent); wrong and
# reported sent (the sender ended with status 0 and the stored file is not
# the file sent); wrong and reported received (the receiver ended the file's
# progress line complete without "Gave up receiving" or "Couldn't write" for
# it, and the stored file is not the file sent); wrong in place (under the
# file's name the receiver has neither the old file nor the file sent); of
# those, the checksum's blind spot (the same length, and every block that
# differs has the same 16-bit sum as the block sent: two or more bit errors
# that cancel); stored under a damaged name (the name field is not
# protected).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

extra_env=()
while [[ ${1:-} == -e ]]; do
  extra_env+=("$2")
  shift 2
done
velcot=$(realpath "${1:-build/velcot}")
nullmodem=$PWD/build/nullmodem
[[ -x $velcot && -x $nullmodem ]] || {
  echo "faults: need $velcot and $nullmodem (bash tools/setup.sh velcot nullmodem)" >&2
  exit 1
}
seeds=${SEEDS:-10}
read -r -a bers <<<"${BERS:-1e-4 1e-5}"

scratch=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

run_velcot() {  # run_velcot DIR LOG ARGS...: velcot in DIR, output to LOG.out/.err
  local dir=$1 log=$2
  shift 2
  (cd "$dir" && exec env "${extra_env[@]}" "$velcot" "$@") >"$log.out" 2>"$log.err"
}

wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND succeeds
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# True when the stored file has the sent one's length and differs from it
# only in blocks whose 16-bit sums (byte pairs low byte first, an odd last
# byte high) are the same.
is_blind_spot() {  # is_blind_spot SENT STORED
  [[ $(stat -c %s "$1") == $(stat -c %s "$2") ]] || return 1
  { cmp -l "$1" "$2" || true; } | awk -v size="$(stat -c %s "$1")" '
    function octal(text, value, i) {
      value = 0
      for (i = 1; i <= length(text); i++) value = value * 8 + substr(text, i, 1)
      return value
    }
    {
      at = $1 - 1; block = int(at / 1024); in_block = at % 1024
      length_of_block = size - block * 1024 < 1024 ? size - block * 1024 : 1024
      weight = in_block % 2 == 0 && in_block + 1 < length_of_block ? 1 : 256
      change[block] += (octal($3) - octal($2)) * weight
    }
    END {
      for (block in change) if (change[block] % 65536 != 0) exit 1
    }'
}

# One transfer; prints "right tx_ok rx_ok in_place blind renamed", each 0/1.
run_once() {  # run_once BER SEED NAME SIZE
  local ber=$1 seed=$2 name=$3 size=$4 run
  run=$scratch/$name-$ber-$seed
  mkdir -p "$run/tx" "$run/rx"
  # The same random-looking content for every run and build.
  openssl enc -aes-128-ctr -nosalt -pass "pass:$size" -pbkdf2 </dev/zero 2>/dev/null |
    head -c "$size" >"$run/tx/$name" || true
  printf 'the old file\n' >"$run/rx/$name"
  # shellcheck disable=SC2086  # CABLE is a list of options
  "$nullmodem" -b 0 --seed "$seed" --ber-ab "$ber" --ber-ba "$ber" ${CABLE:-} "$run/A" "$run/B" \
    2>"$run/nullmodem.log" &
  local cable=$!
  pids+=("$cable")
  wait_for 10 grep -qs "nullmodem: ready" "$run/nullmodem.log"
  run_velcot "$run/rx" "$run/rx" -p "$run/B" -b 115200 &
  local receiver=$!
  pids+=("$receiver")
  sleep 0.3
  local status=0
  run_velcot "$run/tx" "$run/tx" -p "$run/A" -b 115200 "$name" || status=$?
  sleep 1.5  # the receiver's watch after the last answer, and its move
  kill "$cable" 2>/dev/null || true
  wait "$cable" 2>/dev/null || true
  wait_for 10 bash -c "! kill -0 $receiver 2>/dev/null" || kill -9 "$receiver" 2>/dev/null || true
  wait "$receiver" 2>/dev/null || true

  local stored=$run/rx/$name right=0 tx_ok=0 rx_ok=0 in_place=0 blind=0 renamed=0
  cmp -s "$run/tx/$name" "$stored" && right=1
  [[ $status == 0 ]] && tx_ok=1
  if tr '\r' '\n' <"$run/rx.out" | grep -q " $name $size/$size (100.0%)$" &&
    ! grep -qE "^(Gave up receiving|Couldn't write) $name" "$run/rx.err"; then
    rx_ok=1
  fi
  if ((!right)) && [[ $(cat "$stored") != "the old file" ]]; then
    in_place=1
    is_blind_spot "$run/tx/$name" "$stored" && blind=1
  fi
  [[ $(ls -A "$run/rx") == "$name" ]] || renamed=1
  echo "$right $tx_ok $rx_ok $in_place $blind $renamed"
  rm -rf "$run"
}

echo "velcot: $velcot${extra_env[*]:+ (${extra_env[*]})}${CABLE:+, cable: $CABLE}"
echo
echo "| BER both ways | size | runs | right | wrong, reported sent | wrong, reported received | wrong in place | of those, blind spot | stored under a damaged name |"
echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"
for ber in "${bers[@]}"; do
  for sized in mib.bin:1048576 odd.bin:1048000; do
    name=${sized%%:*} size=${sized#*:}
    totals=(0 0 0 0 0 0)
    for ((seed = 1; seed <= seeds; seed++)); do
      read -r right tx_ok rx_ok in_place blind renamed < <(run_once "$ber" "$seed" "$name" "$size")
      ((totals[0] += right, totals[1] += tx_ok && !right, totals[2] += rx_ok && !right)) || true
      ((totals[3] += in_place, totals[4] += blind, totals[5] += renamed)) || true
      echo "faults: $ber $name seed $seed: right $right sent $tx_ok received $rx_ok" \
        "in place $in_place blind $blind renamed $renamed" >&2
    done
    echo "| $ber | $size | $seeds | ${totals[0]} | ${totals[1]} | ${totals[2]} | ${totals[3]} | ${totals[4]} | ${totals[5]} |"
  done
done
