#!/usr/bin/env bash
# Measures velcot against ZMODEM (sz/rz from lrzsz) over the same paced
# virtual null-modem cable and prints a table (Markdown) of the figures.
#
#   bash bench/run.sh [ROWS...]
#
# A row is a baud rate (0 = unpaced), or BAUD/usbMS for a cable whose ends
# both behave like FTDI USB adapters with an MS ms latency timer
# (nullmodem --usb-latency-a/-b), or BAUD/files100 for 100 files of 1 KiB
# in one run. The default rows are 9600 115200 921600 3000000 0, the USB
# model at 16 ms (Linux's default) and 1 ms (what velcot asks the driver
# for) at 115200 and 921600, and 115200/files100. Each row is measured for
# velcot (two velcots: the streaming exchange), velcot-classic (both forced
# to the classic exchange with VELCOT_CLASSIC=1) and zmodem (sz/rz). SEED (default 1) picks
# the phase of the two adapters' timers (nullmodem --seed). Besides the
# table it
# keeps each paced row's goodput in bench/goodput.tsv and draws it against
# line speed into bench/goodput.svg (gnuplot); `bash bench/run.sh --plot`
# draws the saved figures again.
#
# Columns: wall time of the sender; goodput (file bytes per second);
# goodput against baud/10 (an 8N1 character is 10 bit times); goodput
# against the classic exchange's own ceiling (each 1024-byte block costs
# 1028 byte times: its checksum word out, the reply word back; the opening
# costs 19); CPU
# seconds (user + system) per MiB at the sending and the receiving end.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash tools/setup.sh --bench velcot nullmodem
missing=()
[[ -x /usr/bin/time ]] || missing+=(time)
command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
if ((${#missing[@]})); then
  apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
fi

repo=$PWD
scratch=$(mktemp -d)
nullmodem_pid=
cleanup() {
  [[ -n $nullmodem_pid ]] && kill "$nullmodem_pid" 2>/dev/null && wait "$nullmodem_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

start_cable() {  # start_cable BAUD [USB_MS]
  local usb=()
  [[ -n ${2:-} ]] && usb=(--usb-latency-a "$2" --usb-latency-b "$2")
  rm -f "$scratch/A" "$scratch/B"
  "$repo/build/nullmodem" -b "$1" --seed "${SEED:-1}" "${usb[@]}" "$scratch/A" "$scratch/B" 2>"$scratch/nullmodem.log" &
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

# Runs one transfer of FILES (one file, or several in one folder) with TOOL
# at BAUD (USB_MS: the adapters' latency timer, or empty); prints "seconds
# tx_cpu rx_cpu".
measure() {  # measure TOOL BAUD USB_MS FILE...
  local tool=$1 baud=$2 usb=$3 speed=$2 started ended
  shift 3
  local files=("$@") classic=
  [[ $tool == velcot-classic ]] && classic=1
  ((speed > 0)) || speed=115200 # unpaced: the cable ignores the port's speed
  rm -rf "$scratch/rx" && mkdir "$scratch/rx"
  start_cable "$baud" "$usb"
  case $tool in
    velcot*)
      (cd "$scratch/rx" && VELCOT_CLASSIC=$classic exec /usr/bin/time -f "%U %S" -o "$scratch/rx.cpu" \
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
    velcot*)
      VELCOT_CLASSIC=$classic /usr/bin/time -f "%U %S" -o "$scratch/tx.cpu" \
        "$repo/build/velcot" -p "$scratch/A" -b "$speed" "${files[@]}" >/dev/null 2>"$scratch/tx.err"
      ;;
    zmodem)
      /usr/bin/time -f "%U %S" -o "$scratch/tx.cpu" \
        sz -b -q "${files[@]}" <"$scratch/A" >"$scratch/A" 2>"$scratch/tx.err"
      ;;
  esac
  ended=$(now)
  # rz ends by itself after the session; a velcot receiver ends when the
  # cable goes away.
  [[ $tool == zmodem ]] && wait "$receiver" 2>/dev/null
  stop_cable
  wait "$receiver" 2>/dev/null || true
  local file
  for file in "${files[@]}"; do
    if ! cmp -s "$file" "$scratch/rx/$(basename "$file")"; then
      echo "bench: $tool at $baud: the received file $(basename "$file") differs" >&2
      cat "$scratch/tx.err" "$scratch/rx.err" >&2
      exit 1
    fi
  done
  echo "$(awk -v a="$started" -v b="$ended" 'BEGIN { print b - a }') $(tail -n 1 "$scratch/tx.cpu" | awk '{print $1 + $2}') \
$(tail -n 1 "$scratch/rx.cpu" | awk '{print $1 + $2}')"
}

# Prints one table row, and adds the point to the plot's data.
report() {  # report TOOL ROW BAUD SIZE SECONDS TX_CPU RX_CPU
  local series=paced
  [[ $2 == */usb* ]] && series="USB model ${2#*/usb} ms"
  [[ $2 == */files* ]] && series="100 files"
  awk -v tool="$1" -v row="$2" -v baud="$3" -v size="$4" -v secs="$5" -v tx="$6" -v rx="$7" \
    -v series="${1/zmodem/sz\/rz}, $series" -v data="$scratch/goodput.tsv" 'BEGIN {
    goodput = size / secs; mib = size / 1048576
    line = baud > 0 ? sprintf("%.1f%%", 100 * goodput / (baud / 10)) : "-"
    blocks = int((size + 1023) / 1024)
    ceiling = "-"
    if (baud > 0 && tool == "velcot-classic" && series !~ /files/)
      ceiling = sprintf("%.1f%%", 100 * ((19 + size + 4 * blocks) * 10 / baud) / secs)
    printf "| %s | %s | %d KiB | %.2f s | %.0f B/s | %s | %s | %.3f | %.3f |\n",
      tool, (baud > 0 ? row : "unpaced"), size / 1024, secs, goodput, line, ceiling,
      tx / mib, rx / mib
    if (baud > 0 && series !~ /files/) printf "%s\t%d\t%.2f\n", series, baud, 100 * goodput / (baud / 10) >> data
  }'
}

# Goodput against line speed from bench/goodput.tsv, a line for each tool
# and cable: velcot's solid, sz/rz's dashed.
plot() {
  local data=$repo/bench/goodput.tsv dir series=() name style i=0
  dir=$(mktemp -d)
  while IFS= read -r name; do
    i=$((i + 1))
    awk -F'\t' -v name="$name" '$1 == name { print $2, $3 }' "$data" >"$dir/$i"
    style="lw 2 pt 7"
    [[ $name == velcot-classic* ]] && style="lw 1 pt 5"
    [[ $name == sz* ]] && style="lw 2 dt 2 pt 6"
    series+=("'$dir/$i' using 1:2 with linespoints $style title '$name'")
  done < <(cut -f1 "$data" | awk '!seen[$0]++')
  local IFS=,
  gnuplot <<PLOT
set terminal svg size 800,480 dynamic font "sans,12"
set output "$repo/bench/goodput.svg"
set title "Goodput over the virtual null-modem cable, random data"
set xlabel "line speed (baud, 8N1)"
set ylabel "goodput, % of baud/10"
set logscale x
set xrange [6000:4500000]
set xtics ("9600" 9600, "115200" 115200, "921600" 921600, "3000000" 3000000)
set yrange [50:102]
set key bottom left
set grid
plot ${series[*]}
PLOT
  rm -rf "$dir"
}

if [[ ${1:-} == --plot ]]; then
  plot
  exit 0
fi

rows=("$@")
((${#rows[@]})) || rows=(9600 115200 921600 3000000 0 115200/usb16 115200/usb1 921600/usb16
  921600/usb1 115200/files100)
echo "| tool | baud | size | time | goodput | of baud/10 | of classic ceiling | CPU s/MiB sender | CPU s/MiB receiver |"
echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"
for row in "${rows[@]}"; do
  baud=${row%%/*}
  usb=
  [[ $row == */usb* ]] && usb=${row#*/usb}
  if [[ $row == */files* ]]; then
    mkdir -p "$scratch/files"
    files=()
    for ((i = 0; i < ${row#*/files}; i++)); do
      files+=("$scratch/files/f$i.bin")
      [[ -e ${files[-1]} ]] || head -c 1024 /dev/urandom >"${files[-1]}"
    done
    for tool in velcot velcot-classic zmodem; do
      read -r secs tx rx < <(measure "$tool" "$baud" "" "${files[@]}")
      report "$tool" "$row" "$baud" "$((1024 * ${#files[@]}))" "$secs" "$tx" "$rx"
    done
    continue
  fi
  case $baud in
    9600) size=$((16 * 1024)) ;;
    0) size=$((8 * 1024 * 1024)) ;;
    921600 | 3000000) size=$((1024 * 1024)) ;;
    *) size=$((128 * 1024)) ;;
  esac
  file=$scratch/r$size.bin  # an 8.3 name, stored unchanged
  [[ -e $file ]] || head -c "$size" /dev/urandom >"$file"
  for tool in velcot velcot-classic zmodem; do
    read -r secs tx rx < <(measure "$tool" "$baud" "$usb" "$file")
    report "$tool" "$row" "$baud" "$size" "$secs" "$tx" "$rx"
  done
done
cp "$scratch/goodput.tsv" "$repo/bench/goodput.tsv"
plot
