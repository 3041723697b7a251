# The ends of a peer benchmark, sourced by xymodem.sh and zmodem.sh after
# they set repo, baud, limit and velcot: a scratch folder cleaned up at
# exit, a cable, velcot or an lrzsz command at either end, and one timed
# transfer with its copies checked.
# shellcheck shell=bash
scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

now() { date +%s.%N; }
percent() { echo "scale=1; ${2:-262144} * 1000 / ($1 * $baud)" | bc; }  # of baud/10

start_cable() {  # start_cable DIR [OPTIONS...]
  local dir=$1
  shift
  mkdir -p "$dir"
  "$repo/build/nullmodem" "$@" "$dir/A" "$dir/B" 2>"$dir/nullmodem.log" &
  cable=$!
  pids+=("$cable")
  for _ in $(seq 50); do [[ -e $dir/B ]] && break; sleep 0.1; done
}

stop_cable() {
  kill "$cable" 2>/dev/null
  wait "$cable" 2>/dev/null
}

# Runs one end on LINK in FOLDER: "velcot ARGS..." or an lrzsz command line.
run_end() {  # run_end LINK FOLDER LOG COMMAND...
  local link=$1 folder=$2 log=$3
  shift 3
  if [[ $1 == velcot ]]; then
    shift
    (cd "$folder" && exec timeout "$limit" "$velcot" -p "$link" -b $baud "$@" >"$log.out" \
      2>"$log.err")
  else
    (cd "$folder" && exec timeout "$limit" socat "FILE:$link,raw,echo=0" \
      "SYSTEM:$*; echo status \$? >&2; sleep 0.3" >"$log.out" 2>"$log.err")
  fi
}

# One transfer: the sender on A waits, the receiver on B is timed; sets
# $seconds, $status (the sender's: velcot's, or lrzsz's own) and $right.
transfer() {  # transfer DIR "SENDER..." "RECEIVER..." FILES...
  local dir=$1 sender=$2 receiver=$3
  shift 3
  mkdir -p "$dir/rx"
  # shellcheck disable=SC2086
  run_end "$dir/A" "$scratch/tx" "$dir/tx" $sender "$@" &
  local tx=$!
  pids+=("$tx")
  sleep 1
  local started
  started=$(now)
  # shellcheck disable=SC2086
  run_end "$dir/B" "$dir/rx" "$dir/rx" $receiver
  wait "$tx"
  status=$?
  seconds=$(echo "$(now) - $started" | bc)
  if [[ $sender != velcot* ]]; then
    status=$(sed -n 's/^status //p' "$dir/tx.err" | tail -1)
    [[ -n $status ]] || status=124
  fi
  right=0
  for f in "$@"; do
    local got=$dir/rx/$f
    [[ -e $got ]] || got=$dir/rx/got.bin
    cmp -s "$scratch/tx/$f" "$got" && right=$((right + 1))
  done
}
