#!/usr/bin/env bash
# Sends files over the virtual cable (build/nullmodem) with bit errors both
# ways and counts what became of them; prints a table (Markdown). Not a
# test: the figures describe what a faulty line does to a build.
#
#   bash bench/faults.sh [-e NAME=VALUE]... [VELCOT]
#   MODE=batch bash bench/faults.sh [-e NAME=VALUE]... [VELCOT]
#
# VELCOT is the program to run at both ends (default build/velcot), so an
# older build can be measured on the same cable. -e adds a variable to both
# ends' environment, which they otherwise inherit from the script's. SEEDS
# runs per setting, seeds 1 to SEEDS. Each run's ends use -b 115200 over an
# unpaced cable (-b 0), so the stall limit is 30 s.
#
# MODE=single (the default): one 1 MiB file a run. SEEDS defaults to 10,
# BERS (default "1e-4 1e-5") are the bit error rates, set for both
# directions (--ber-ab, --ber-ba), CABLE more options for the cable (e.g.
# "--latency-ms 50", "--noise-a 300", "--cut-after 500000"; see
# build/nullmodem -h).
#
# Each run: the receiver's folder holds an old file of the name first; the
# sender sends one file, 1048576 bytes (every block full) or 1048000 (the
# last one short), at the seed's errors. A run with the ends out of step
# waits for a stall limit (30 s), so a setting takes up to about 10 minutes.
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
#
# MODE=batch: a batch of files sent by one velcot, for the streaming
# exchange (two velcots; VELCOT_CLASSIC is not set unless -e sets it).
# SEEDS defaults to 3. SIZES (default "0 1 1024 5000 65536 300000
# 1048576") are the files' sizes, sent in that order, each named fSIZE.bin
# (an 8.3 name) and filled with bytes drawn from its size and the seed, the
# same for every build; the receiver's folder holds an old file under each
# name first. SETTINGS lists the cable's settings, separated by ";", each
# "BER LATENCY [sizes=A,B,...] [MORE...]": the bit error rate both ways,
# the latency each way in ms (--latency-ms), the sizes if not SIZES, and
# more nullmodem options. The default: 1e-4 at 20 ms and 100 ms; 1e-3 at
# 20 ms and 100 ms with files of 0 to 16384 bytes (a frame crosses whole
# about one time in three, and a run of SIZES would take about 50 minutes
# at 20 ms, hours at 100 ms); 1e-4 at 20 ms with "--noise-a 300" (random
# bytes reach the sender first) and with "--cut-after 200000" (the line
# hangs up part-way through the batch: resent data counts, so with cc86d6b
# during the 65536-byte file). A run still going after HANG_S
# seconds (default 900: a run of SIZES at 1e-4 and 100 ms takes about 9
# minutes when every file goes) is stopped, both ends killed. KEEP=DIR
# keeps the logs of each run with a fault (anything but right, failed and
# not sent) in DIR.
#
# Columns, per setting, in files (each file of each run counts in one, the
# first that fits): wrong (under the file's name neither the old file nor
# the file sent; a stray file in the receiver's folder counts one more,
# but not a kept part that holds the first bytes of a file sent);
# hang (the run was stopped before the sender was done with the file: its
# progress line ended complete, or a line named it); right (the stored file
# is the file sent, reported sent); false failure (stored right, but the
# sender reported it failed: "Gave up sending", "declined", "Couldn't send"
# or "not sent" for it, the port lost while it was under way, or a status
# other than 0 while every file arrived right and none was named); false
# success (the old file kept, reported sent); failed (the old file kept,
# reported failed); not sent (the old file kept, "file NAME not sent").
# Then the mean and the longest run time (the sender's wall time).
#
# The fault run of the streaming exchange, "before" (a build of commit
# cc86d6b) and "after", on the same cable (build/nullmodem of this tree):
#
#   MODE=batch SEEDS=3 bash bench/faults.sh /work/baseline/velcot-cc86d6b
#   MODE=batch SEEDS=3 bash bench/faults.sh build/velcot
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
mode=${MODE:-single}
[[ $mode == single || $mode == batch ]] || {
  echo "faults: MODE is single or batch, not $mode" >&2
  exit 1
}

scratch=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# Call it in a subshell, "(run_velcot ...)": the subshell becomes velcot, so
# its id is velcot's own, to stop it by.
run_velcot() {  # run_velcot DIR LOG ARGS...: velcot in DIR, output to LOG.out/.err
  local dir=$1 log=$2
  shift 2
  cd "$dir" && exec env "${extra_env[@]}" "$velcot" "$@" >"$log.out" 2>"$log.err"
}

wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND succeeds
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

is_gone() {  # is_gone PID
  ! kill -0 "$1" 2>/dev/null
}

# The same random-looking content for every run and build.
write_content() {  # write_content SIZE PASSWORD FILE
  openssl enc -aes-128-ctr -nosalt -pass "pass:$2" -pbkdf2 </dev/zero 2>/dev/null |
    head -c "$1" >"$3" || true
}

# Starts the cable between RUN/A and RUN/B and a receiver on B in RUN/rx;
# sets cable and receiver to their ids.
start_cable_and_receiver() {  # start_cable_and_receiver RUN CABLE_OPTIONS...
  local run=$1
  shift
  "$nullmodem" -b 0 "$@" "$run/A" "$run/B" 2>"$run/nullmodem.log" &
  cable=$!
  pids+=("$cable")
  wait_for 10 grep -qs "nullmodem: ready" "$run/nullmodem.log"
  (run_velcot "$run/rx" "$run/rx" -p "$run/B" -b 115200) &
  receiver=$!
  pids+=("$receiver")
  sleep 0.3
}

# After the sender: lets the receiver finish its last answer and move the
# file, then takes the line away, which ends the receiver.
stop_cable_and_receiver() {
  sleep 1.5
  kill "$cable" 2>/dev/null || true
  wait "$cable" 2>/dev/null || true
  if ! wait_for 10 is_gone "$receiver"; then
    kill "$receiver" 2>/dev/null || true  # it drops a partial file on the way out
    wait_for 5 is_gone "$receiver" || kill -9 "$receiver" 2>/dev/null || true
  fi
  wait "$receiver" 2>/dev/null || true
}

# ---- MODE=single ----

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
  local ber=$1 seed=$2 name=$3 size=$4 run cable receiver
  run=$scratch/$name-$ber-$seed
  mkdir -p "$run/tx" "$run/rx"
  write_content "$size" "$size" "$run/tx/$name"
  printf 'the old file\n' >"$run/rx/$name"
  # shellcheck disable=SC2086  # CABLE is a list of options
  start_cable_and_receiver "$run" --seed "$seed" --ber-ab "$ber" --ber-ba "$ber" ${CABLE:-}
  local status=0
  (run_velcot "$run/tx" "$run/tx" -p "$run/A" -b 115200 "$name") || status=$?
  stop_cable_and_receiver

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

run_single() {
  local seeds=${SEEDS:-10} bers ber sized name size seed totals
  local right tx_ok rx_ok in_place blind renamed
  read -r -a bers <<<"${BERS:-1e-4 1e-5}"
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
}

# ---- MODE=batch ----

outcomes=(right wrong false_failure false_success failed not_sent hang)
# Smaller files at 1e-3, where a run of SIZES takes far too long (see the top).
small=sizes=0,1,1024,2048,5000,8192,16384
default_settings="1e-4 20; 1e-4 100; 1e-3 20 $small; 1e-3 100 $small"
default_settings+="; 1e-4 20 --noise-a 300; 1e-4 20 --cut-after 200000"

# What the sender said of a file: sent, failed, not_sent or unfinished.
# OUT and ERR are its output; EXITED is 1 when it ended by itself, LOST 1
# when the file was the one under way as it lost the port.
judge_sender() {  # judge_sender OUT ERR NAME SIZE EXITED LOST
  local out=$1 err=$2 name=$3 size=$4 exited=$5 lost=$6
  if grep -qxF "file $name not sent" "$err"; then
    echo not_sent
  elif grep -qF -e "Gave up sending $name:" -e "Couldn't send $name" -e "Couldn't open $name " \
    -e "Couldn't stat $name:" "$err" || tr '\r' '\n' <"$out" | grep -qxF "file $name declined by receiver"; then
    echo failed
  elif ((exited)); then
    ((lost)) && echo failed || echo sent
  # Stopped: only a progress line that ended complete tells of success.
  elif perl -0777 -ne '/\A(.*\n)/s and print $1' "$out" | tr '\r' '\n' |
    grep -qE " $name $size/$size \(100\.0%\)$"; then
    echo sent
  else
    echo unfinished
  fi
}

# One batch; prints how many files came to each outcome, in the order of
# outcomes, then the sender's wall time in seconds.
run_batch() {  # run_batch SEED BER LATENCY [MORE...]
  local seed=$1 ber=$2 latency=$3 run cable receiver size name
  shift 3
  run=$scratch/batch-$seed
  mkdir -p "$run/tx" "$run/rx"
  local names=()
  for size in "${sizes[@]}"; do
    name=f$size.bin
    names+=("$name")
    write_content "$size" "$size-$seed" "$run/tx/$name"
    printf 'the old file\n' >"$run/rx/$name"
  done
  start_cable_and_receiver "$run" --seed "$seed" --ber-ab "$ber" --ber-ba "$ber" \
    --latency-ms "$latency" "$@"
  local started=$EPOCHREALTIME status=0 exited=1
  (run_velcot "$run/tx" "$run/tx" -p "$run/A" -b 115200 "${names[@]}") &
  local sender=$!
  pids+=("$sender")
  if ! wait_for "$hang_s" is_gone "$sender"; then
    exited=0
    cp "$run/tx.out" "$run/tx.out.at-stop"
    cp "$run/tx.err" "$run/tx.err.at-stop"
    kill "$sender" 2>/dev/null || true
    wait_for 5 is_gone "$sender" || kill -9 "$sender" 2>/dev/null || true
  fi
  wait "$sender" || status=$?
  local took
  took=$(echo "$EPOCHREALTIME - $started" | bc)
  stop_cable_and_receiver

  local out=$run/tx.out err=$run/tx.err
  ((exited)) || out=$run/tx.out.at-stop err=$run/tx.err.at-stop
  # A lost port names no file: it is the one before the first not sent.
  local victim=-1 i
  if ((exited)) && grep -q "^lost port " "$err"; then
    victim=$((${#names[@]} - 1))
    for ((i = 0; i < ${#names[@]}; i++)); do
      if grep -qxF "file ${names[i]} not sent" "$err"; then
        victim=$((i - 1))
        break
      fi
    done
  fi
  local said=() stored=() all_right=1 named=0
  for ((i = 0; i < ${#names[@]}; i++)); do
    said[i]=$(judge_sender "$out" "$err" "${names[i]}" "${sizes[i]}" "$exited" $((i == victim)))
    if cmp -s "$run/tx/${names[i]}" "$run/rx/${names[i]}"; then
      stored[i]=right
    elif [[ -f $run/rx/${names[i]} && $(cat "$run/rx/${names[i]}") == "the old file" ]]; then
      stored[i]=old all_right=0
    else
      stored[i]=wrong all_right=0
    fi
    [[ ${said[i]} == sent || ${said[i]} == unfinished ]] || named=1
  done
  # Stopped with every file right and no file named: the status accuses them all.
  local accused=0
  ((exited && status != 0 && all_right && !named)) && accused=1

  declare -A count=()
  local outcome verdicts=""
  for ((i = 0; i < ${#names[@]}; i++)); do
    case ${stored[i]}:${said[i]} in
      wrong:*) outcome=wrong ;;
      *:unfinished) outcome=hang ;;
      right:sent) ((accused)) && outcome=false_failure || outcome=right ;;
      right:*) outcome=false_failure ;;
      old:sent) outcome=false_success ;;
      old:*) outcome=${said[i]} ;;
    esac
    count[$outcome]=$((${count[$outcome]:-0} + 1))
    verdicts+=" ${sizes[i]}:$outcome"
  done
  # Anything else in the receiver's folder is a stray file, but the part a
  # receiver keeps of a file cut off, for a sender to go on from, when it
  # holds that file's first bytes.
  local strays=0 other kept
  while IFS= read -r other; do
    kept=0
    if [[ ${other##*/} =~ ^\.velcot-[0-9a-f]{16}-[0-9a-f]{16}-[0-9a-f]{16}\.part$ ]]; then
      for ((i = 0; i < ${#names[@]}; i++)); do
        cmp -s -n "$(stat -c %s "$other")" "$other" "$run/tx/${names[i]}" && kept=1 && break
      done
    fi
    ((kept)) || strays=$((strays + 1))
  done < <(find "$run/rx" -mindepth 1 | grep -vxF -f <(printf "$run/rx/%s\n" "${names[@]}") || true)
  count[wrong]=$((${count[wrong]:-0} + strays))

  echo "faults: $ber ${latency}ms${*:+ $*} seed $seed:$verdicts strays $strays status $status" \
    "$( ((exited)) || echo "stopped ")${took}s" >&2
  sed 's/^/faults:   sender: /' "$err" >&2
  if [[ -n ${KEEP:-} ]] && ((count[wrong] + ${count[false_failure]:-0} + ${count[false_success]:-0} + \
    ${count[hang]:-0} > 0)); then
    local kept
    kept=$KEEP/$(echo "$ber-$latency-$*-$seed" | tr -c 'A-Za-z0-9.=\n-' _)
    mkdir -p "$kept"
    cp "$run"/*.out* "$run"/*.err* "$run/nullmodem.log" "$kept/"
    ls -la "$run/rx" >"$kept/rx.ls"
  fi
  local counts=()
  for outcome in "${outcomes[@]}"; do counts+=("${count[$outcome]:-0}"); done
  echo "${counts[*]} $took"
  rm -rf "$run"
}

run_batches() {
  local seeds=${SEEDS:-3} settings setting seed i word defaults
  IFS=';' read -r -a settings <<<"${SETTINGS:-$default_settings}"
  read -r -a defaults <<<"${SIZES:-0 1 1024 5000 65536 300000 1048576}"
  hang_s=${HANG_S:-900}
  echo "velcot: $velcot${extra_env[*]:+ (${extra_env[*]})}; files of ${defaults[*]} bytes a run" \
    "unless the setting says; a run stopped after ${hang_s} s"
  echo
  echo "| BER both ways | latency each way | more | runs | files | right | wrong | false failure | false success | failed | not sent | hang | run time, mean | run time, longest |"
  echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |"
  for setting in "${settings[@]}"; do
    local words args=() totals=(0 0 0 0 0 0 0) time_sum=0 time_max=0 fields
    read -r -a words <<<"$setting"
    sizes=("${defaults[@]}")
    for word in "${words[@]}"; do
      if [[ $word == sizes=* ]]; then
        IFS=, read -r -a sizes <<<"${word#sizes=}"
      else
        args+=("$word")
      fi
    done
    for ((seed = 1; seed <= seeds; seed++)); do
      # Not in a subshell: the ends it starts stay ours to stop on the way out.
      run_batch "$seed" "${args[@]}" >"$scratch/counts"
      read -r -a fields <"$scratch/counts"
      for ((i = 0; i < ${#outcomes[@]}; i++)); do ((totals[i] += fields[i])) || true; done
      time_sum=$(echo "$time_sum + ${fields[7]}" | bc)
      time_max=$(echo "if (${fields[7]} > $time_max) ${fields[7]} else $time_max" | bc)
    done
    local more=${words[*]:2}
    local row="| ${words[0]} | ${words[1]} ms | ${more:--} | $seeds | $((seeds * ${#sizes[@]})) |"
    for ((i = 0; i < ${#outcomes[@]}; i++)); do row+=" ${totals[i]} |"; done
    printf '%s %.1f s | %.1f s |\n' "$row" "$(echo "$time_sum / $seeds" | bc -l)" "$time_max"
  done
}

if [[ $mode == single ]]; then run_single; else run_batches; fi
