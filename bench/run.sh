#!/usr/bin/env bash
# Measures velcot against ZMODEM (sz/rz from lrzsz) over the same paced
# virtual null-modem cable and prints a table (Markdown) of the figures.
#
#   bash bench/run.sh [ROWS...]      ROWS: 9600 115200 921600 0 (0 = unpaced)
#
# Columns: wall time of the sender; goodput (file bytes per second);
# goodput against baud/10 (an 8N1 character is 10 bit times); goodput
# against velcot's own ceiling (each 1024-byte block costs 1028 byte times:
# its checksum word out, the reply word back; the opening costs 19); CPU
# seconds (user + system) per MiB at the sending and the receiving end.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash tools/setup.sh --bench velcot nullmodem
if [[ ! -x /usr/bin/time ]]; then
  apt-get update -qq && apt-get install -y -qq time >/dev/null
fi

repo=$PWD
scratch=$(mktemp -d)
nullmodem_pid=
cleanup() {
  [[ -n $nullmodem_pid ]] && kill "$nullmodem_pid" 2>/dev/null && wait "$nullmodem_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

start_cable() {  # start_cable BAUD
  rm -f "$scratch/A" "$scratch/B"
  "$repo/build/nullmodem" -b "$1" "$scratch/A" "$scratch/B" 2>"$scratch/nullmodem.log" &
  nullmodem_pid=$!
  for ((tries = 0; tries < 200; tries++)); do
    [[ -e $scratch/A && -e $scratch/B ]] && return 0
    sleep 0.05
  done
  echo "bench: the cable did not start" >&2
  exit 1
}

stop_cable() {
  kill "$nullmodem_pid" 2>/dev/null || true
  wait "$nullmodem_pid" 2>/dev/null || true
  nullmodem_pid=
}

now() { date +%s.%N; }

# Runs one transfer of FILE with TOOL at BAUD; prints "seconds tx_cpu rx_cpu".
measure() {  # measure TOOL BAUD FILE
  local tool=$1 baud=$2 file=$3 speed=$2 started ended
  ((speed > 0)) || speed=115200 # unpaced: the cable ignores the port's speed
  rm -rf "$scratch/rx" && mkdir "$scratch/rx"
  start_cable "$baud"
  case $tool in
    velcot)
      (cd "$scratch/rx" && exec /usr/bin/time -f "%U %S" -o "$scratch/rx.cpu" \
        "$repo/build/velcot" -p "$scratch/B" -b "$speed") >/dev/null 2>"$scratch/rx.err" &
      ;;
    zmodem)
      (cd "$scratch/rx" && exec /usr/bin/time -f "%U %S" -o "$scratch/rx.cpu" \
        rz -b -y -q <"$scratch/B" >"$scratch/B") 2>"$scratch/rx.err" &
      ;;
  esac
  local receiver=$!
  sleep 0.3
  started=$(now)
  case $tool in
    velcot)
      /usr/bin/time -f "%U %S" -o "$scratch/tx.cpu" \
        "$repo/build/velcot" -p "$scratch/A" -b "$speed" "$file" >/dev/null 2>"$scratch/tx.err"
      ;;
    zmodem)
      /usr/bin/time -f "%U %S" -o "$scratch/tx.cpu" \
        sz -b -q "$file" <"$scratch/A" >"$scratch/A" 2>"$scratch/tx.err"
      ;;
  esac
  ended=$(now)
  # rz ends by itself after the session; a velcot receiver ends when the
  # cable goes away.
  [[ $tool == zmodem ]] && wait "$receiver" 2>/dev/null
  stop_cable
  wait "$receiver" 2>/dev/null || true
  if ! cmp -s "$file" "$scratch/rx/$(basename "$file")"; then
    echo "bench: $tool at $baud: the received file differs" >&2
    cat "$scratch/tx.err" "$scratch/rx.err" >&2
    exit 1
  fi
  echo "$(awk -v a="$started" -v b="$ended" 'BEGIN { print b - a }') $(tail -n 1 "$scratch/tx.cpu" | awk '{print $1 + $2}') \
$(tail -n 1 "$scratch/rx.cpu" | awk '{print $1 + $2}')"
}

# Prints one table row.
report() {  # report TOOL BAUD SIZE SECONDS TX_CPU RX_CPU
  awk -v tool="$1" -v baud="$2" -v size="$3" -v secs="$4" -v tx="$5" -v rx="$6" 'BEGIN {
    goodput = size / secs; mib = size / 1048576
    line = baud > 0 ? sprintf("%.1f%%", 100 * goodput / (baud / 10)) : "-"
    blocks = int((size + 1023) / 1024)
    ceiling = "-"
    if (baud > 0 && tool == "velcot")
      ceiling = sprintf("%.1f%%", 100 * ((19 + size + 4 * blocks) * 10 / baud) / secs)
    printf "| %s | %s | %d KiB | %.2f s | %.0f B/s | %s | %s | %.3f | %.3f |\n",
      tool, (baud > 0 ? baud : "unpaced"), size / 1024, secs, goodput, line, ceiling,
      tx / mib, rx / mib
  }'
}

rows=("$@")
((${#rows[@]})) || rows=(9600 115200 921600 0)
echo "| tool | baud | size | time | goodput | of baud/10 | of velcot ceiling | CPU s/MiB sender | CPU s/MiB receiver |"
echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"
for baud in "${rows[@]}"; do
  case $baud in
    9600) size=$((16 * 1024)) ;;
    0) size=$((8 * 1024 * 1024)) ;;
    *) size=$((128 * 1024)) ;;
  esac
  file=$scratch/r$size.bin  # an 8.3 name, stored unchanged
  [[ -e $file ]] || head -c "$size" /dev/urandom >"$file"
  for tool in velcot zmodem; do
    read -r secs tx rx < <(measure "$tool" "$baud" "$file")
    report "$tool" "$baud" "$size" "$secs" "$tx" "$rx"
  done
done
