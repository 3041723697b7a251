#!/usr/bin/env bash
# Sends a run of six files from one velcot build to another over
# build/nullmodem at 115200 and checks every copy byte for byte and both
# exit statuses; prints one Markdown row per mode.
#
#   bash bench/interop.sh SENDER RECEIVER [MODE...]
#
# An end is the path of a Linux velcot, or of a velcot.exe, which runs
# under Wine in build/wineprefix with its COM port linked to the cable.
# Modes (default: all five): stream (as the two agree), classic-tx and
# classic-rx (VELCOT_CLASSIC=1 at the sender or the receiver), nocomp-tx
# and nocomp-rx (VELCOT_COMPRESSION=0 at one end). The files: empty, one
# byte, 100 KiB of text, 300 KiB of random data, 64 KiB of zeros and a
# small one with a UTF-8 name (which the classic exchange cuts to 8.3: a
# copy under another name counts when its bytes are right). The receiver
# runs until stopped: once the sender is done it gets SIGINT and should end
# with 130 (interrupted) having kept every file. BAUD (default 115200) sets the cable's pace;
# SENDER_NAME and RECEIVER_NAME what the rows call the two ends; LIMIT
# (default 300) the seconds either end may take before it is stopped.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD
sender=$(realpath "$1")
receiver=$(realpath "$2")
sender_name=${SENDER_NAME:-$1}
receiver_name=${RECEIVER_NAME:-$2}
shift 2
modes=("$@")
((${#modes[@]})) || modes=(stream classic-tx classic-rx nocomp-tx nocomp-rx)
baud=${BAUD:-115200}

scratch=$(mktemp -d)
pids=()
links=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  for link in "${links[@]}"; do rm -f "$link"; done
  rm -rf "$scratch"
}
trap cleanup EXIT

mkdir "$scratch/tx"
utf8_name=$'gr\u00fc\u00dfe-\u65e5\u672c.txt'
# velcot.exe takes its arguments in the ANSI code page (1252 under Wine),
# which has no Japanese: its name stays within Latin-1.
[[ $sender == *.exe ]] && utf8_name=$'gr\u00fc\u00dfe-caf\u00e9.txt'
(
  cd "$scratch/tx" || exit 1
  : >empty.bin
  printf x >one.bin
  for _ in 1 2 3 4 5 6 7 8; do cat "$repo/README.md" "$repo/doc/protocol.md"; done | head -c 102400 >text.txt
  head -c 307200 /dev/urandom >random.bin
  head -c 65536 /dev/zero >zeros.bin
  head -c 3000 "$repo/README.md" >"$utf8_name"
)
files=(empty.bin one.bin text.txt random.bin zeros.bin "$utf8_name")

# A free COM number in the prefix, so that runs can go side by side.
com_for() {
  local n
  for n in $(seq 20 99); do
    if ln -s "$1" "$repo/build/wineprefix/dosdevices/com$n" 2>/dev/null; then
      links+=("$repo/build/wineprefix/dosdevices/com$n")
      echo "$n"
      return
    fi
  done
}

# start_end PROGRAM LINK VARIABLE FOLDER LOG [FILES...]: runs one end in
# FOLDER, in the background; its pid in $end_pid.
start_end() {
  local program=$1 link=$2 variable=$3 folder=$4 log=$5
  shift 5
  local port=$link
  local runner=(timeout "${LIMIT:-300}")
  if [[ $program == *.exe ]]; then
    port=COM$(com_for "$link")
    runner+=(env WINEPREFIX="$repo/build/wineprefix" WINEDEBUG=-all LANG=C.UTF-8 wine)
  fi
  (cd "$folder" && exec env $variable "${runner[@]}" "$program" -p "$port" -b "$baud" "$@" \
    >"$log.out" 2>"$log.err") &
  end_pid=$!
}

for mode in "${modes[@]}"; do
  tx_variable=VELCOT_NONE=1
  rx_variable=VELCOT_NONE=1
  case $mode in
    stream) ;;
    classic-tx) tx_variable=VELCOT_CLASSIC=1 ;;
    classic-rx) rx_variable=VELCOT_CLASSIC=1 ;;
    nocomp-tx) tx_variable=VELCOT_COMPRESSION=0 ;;
    nocomp-rx) rx_variable=VELCOT_COMPRESSION=0 ;;
    *) echo "unknown mode $mode" >&2; exit 1 ;;
  esac
  run=$scratch/$mode
  mkdir -p "$run/rx"
  "$repo/build/nullmodem" -b "$baud" "$run/A" "$run/B" 2>"$run/nullmodem.log" &
  nullmodem_pid=$!
  pids+=("$nullmodem_pid")
  for _ in $(seq 50); do [[ -e $run/B ]] && break; sleep 0.1; done
  start_end "$receiver" "$run/A" "$rx_variable" "$run/rx" "$run/rx"
  rx_pid=$end_pid
  pids+=("$rx_pid")
  start=$(date +%s.%N)
  start_end "$sender" "$run/B" "$tx_variable" "$scratch/tx" "$run/tx" "${files[@]}"
  tx_pid=$end_pid
  wait "$tx_pid"
  tx_status=$?
  end=$(date +%s.%N)
  sleep 1
  kill -INT "$rx_pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$rx_pid" 2>/dev/null || break; sleep 0.1; done
  kill "$rx_pid" 2>/dev/null
  wait "$rx_pid"
  rx_status=$?
  kill "$nullmodem_pid" 2>/dev/null
  wait "$nullmodem_pid" 2>/dev/null
  right=0
  stored_as=
  for f in "${files[@]}"; do
    if cmp -s "$scratch/tx/$f" "$run/rx/$f"; then
      right=$((right + 1))
      continue
    fi
    # The classic exchange cuts names to 8.3: the same bytes under another name.
    for g in "$run/rx"/*; do
      [[ -e $scratch/tx/$(basename "$g") ]] && continue
      if cmp -s "$scratch/tx/$f" "$g"; then
        right=$((right + 1))
        stored_as+=" $f as $(basename "$g");"
        break
      fi
    done
  done
  verdict=fail
  [[ $tx_status == 0 && $right == "${#files[@]}" ]] && verdict=pass
  notes=$stored_as
  [[ $verdict == pass ]] || notes+="$(tr '\n' ' ' <"$run/tx.err" | tail -c 200) / $(tr '\n' ' ' <"$run/rx.err" | tail -c 200)"
  printf '| %s | %s | %s | %s | %s | %s/%s | %.1f s | %s |\n' "$sender_name" "$receiver_name" \
    "$mode" "$tx_status" "$rx_status" "$right" "${#files[@]}" "$(echo "$end - $start" | bc)" \
    "$verdict${notes:+:$notes}"
done
