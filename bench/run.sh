#!/usr/bin/env bash
# Measures velcot against ZMODEM (sz/rz from lrzsz) over the same paced
# virtual null-modem cable and prints a table (Markdown) of the figures.
#
#   bash bench/run.sh [ROWS...]
#
# A row is a baud rate (0 = unpaced), BAUD/usbMS for a cable whose ends
# both behave like FTDI USB adapters with an MS ms latency timer
# (nullmodem --usb-latency-a/-b), or BAUD/filesN for N files of 1 KiB sent
# in one run (what each file's opening and closing cost), or BAUD/PATH for
# the sender reaching its end of the cable another way: rfc2217 and raw
# through ser2net (RFC 2217 and raw TCP accepters on end A: velcot's
# rfc2217:// and socket:// ports; sz through socat, over RFC 2217 through
# pyserial's client, the usual bridge for a program without it) or picocom
# (its send command, typed into picocom under script(1) as a person
# would: velcot -p - or sz). The default rows are 9600 115200 921600
# 3000000 0, the USB model at 16 ms (Linux's default) and 1 ms (what
# velcot asks the driver for) at 115200 and 921600, 100 files at 115200,
# and the three paths at 115200. Each row is measured for velcot (two velcots:
# the streaming exchange they agree on), velcot-classic (both forced to the
# classic exchange with VELCOT_CLASSIC=1) and zmodem (sz/rz). SEED (default
# 1) picks the phase of the two adapters' timers (nullmodem --seed); VELCOT
# (default build/velcot) the program measured; BASELINE=PATH adds the rows
# of another velcot build (e.g. one of main), as "baseline", for an A/B in
# the same run. Besides the table, a run of the default rows keeps each
# paced single-file row's goodput in bench/goodput.tsv and draws it against
# line speed into bench/goodput.svg (gnuplot); `bash bench/run.sh --plot`
# draws the saved figures again.
#
# On the paths the sender's CPU time includes its bridge's (socat,
# pyserial) where it has one, and the baseline is left out (it has no
# network ports or -p -).
#
# BAUD/corpus (not among the default rows: some 15 minutes at 115200, 2
# at 921600) sends each file of bench/corpus.sh's corpus alone at BAUD, by
# velcot (streaming) and by sz/rz, and prints a table of its own: each
# file's figures, then the whole corpus's (its bytes over the time all its
# files took), then the whole corpus sent in one run (between two velcots
# one session, compressed as one stream). Before the first such table comes
# what the codecs make of each file (build/codec_ratio, zlib and zstd): its size over the size
# raw deflate at level 6 makes of it, whole or flushed after every 8 KiB
# (as a stream cut into frames), and over zstd's at levels 3 and 19, with
# each codec's CPU time per MiB; over the whole corpus a ratio is the most
# that codec's goodput can be, in multiples of baud/10. The corpus is made
# in the scratch folder for each run, or taken from CORPUS=DIR.
#
# BAUD/session sends the corpus in one run only (velcot, and the baseline
# if given), beside the ratios gzip -9, zstd -19 and xz -9e make of the
# corpus' tar, the most each could give in multiples of baud/10; then
# the same for SAMPLE=FILE if given (a file on its own).
#
# Columns: wall time of the sender; goodput (file bytes per second);
# goodput against baud/10 (an 8N1 character is 10 bit times); goodput
# against the classic exchange's own ceiling (each 1024-byte block costs
# 1028 byte times: its checksum word out, the reply word back; each file's
# opening costs 19); CPU seconds (user + system, from getrusage: to the
# millisecond) per MiB at the sending and the receiving end.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash tools/setup.sh --bench velcot nullmodem codec_ratio
missing=()
command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
/usr/bin/python3 -c 'import serial' 2>/dev/null || missing+=(python3-serial)
if ((${#missing[@]})); then
  apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
fi

repo=$PWD
scratch=$(mktemp -d)
nullmodem_pid=
ser2net_pid=
cleanup() {
  [[ -n $nullmodem_pid ]] && kill "$nullmodem_pid" 2>/dev/null && wait "$nullmodem_pid" 2>/dev/null
  [[ -n $ser2net_pid ]] && kill "$ser2net_pid" 2>/dev/null && wait "$ser2net_pid" 2>/dev/null
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

# ser2net serving end A of the cable (which each measurement starts
# afresh) at 115200 8N1: RFC 2217 on port 7401, raw TCP on 7402.
start_ser2net() {
  [[ -n $ser2net_pid ]] && return 0
  cat >"$scratch/ser2net.yaml" <<YAML
%YAML 1.1
---
connection: &rfc2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,7401
  connector: serialdev,$scratch/A,115200n81,local
connection: &raw
  accepter: tcp,127.0.0.1,7402
  connector: serialdev,$scratch/A,115200n81,local
YAML
  ser2net -n -d -c "$scratch/ser2net.yaml" 2>"$scratch/ser2net.log" &
  ser2net_pid=$!
  sleep 1
}

# A program without RFC 2217 reaches such a server through a bridge:
# pyserial's client, between the server and standard input and output
# (BRIDGE_URL, BRIDGE_SPEED). It has to ignore the answer to DTR, which
# ser2net cannot set on a pseudo-terminal.
cat >"$scratch/bridge.py" <<'PYTHON'
import os, threading, serial
port = serial.serial_for_url(os.environ["BRIDGE_URL"] + "?ign_set_control",
                             baudrate=int(os.environ["BRIDGE_SPEED"]), timeout=0.02)
def up():
    while True:
        data = os.read(0, 65536)
        if not data:
            break
        port.write(data)
writer = threading.Thread(target=up, daemon=True)
writer.start()
while writer.is_alive():
    data = port.read(65536)
    if data:
        os.write(1, data)
PYTHON

# picocom's send command: the sender, whose wall and CPU time it keeps.
cat >"$scratch/timed-send" <<'SH'
#!/usr/bin/env bash
started=$(date +%s.%N)
"$@" 2>"$TIMED_DIR/tx.err"
status=$?
echo "$started $(date +%s.%N)" >"$TIMED_DIR/tx.time"
times >"$TIMED_DIR/tx.cpu"
exit $status
SH
chmod +x "$scratch/timed-send"

# Waits until a file holds a text, for at most a minute.
wait_for_text() {  # wait_for_text FILE TEXT
  for ((tries = 0; tries < 6000; tries++)); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.01
  done
  echo "bench: no '$2' in $1" >&2
  exit 1
}

# Types into picocom on end A as a person would: C-a C-s, the file names,
# Enter; once the send command has ended, C-a C-x.
send_through_picocom() {  # send_through_picocom SPEED COMMAND FILE...
  local keys=$scratch/keys screen=$scratch/screen
  rm -f "$keys" "$screen"
  mkfifo "$keys"
  TIMED_DIR=$scratch script -qfec "stty cols 80 rows 24; picocom -b $1 --send-cmd \
'$scratch/timed-send $2' $scratch/A" /dev/null <"$keys" >"$screen" 2>&1 &
  local picocom=$!
  exec 7>"$keys"
  wait_for_text "$screen" "Terminal ready"
  printf '\001\023' >&7
  wait_for_text "$screen" "*** file: "
  printf '%s\r' "${*:3}" >&7
  wait_for_text "$screen" "*** exit status"
  printf '\001\030' >&7
  exec 7>&-
  wait "$picocom" || true
}

# Runs a command, then writes the CPU time it took to FILE, as bash's
# `times` reports it (from getrusage): to the millisecond, where GNU time
# rounds to 10 ms steps, coarse for the rows' few seconds of CPU. Run it in
# a subshell of its own: `times` counts every child the shell has waited for.
run_timed() {  # run_timed FILE COMMAND...
  local status=0
  "${@:2}" || status=$?
  times >"$1" # not in a pipe, whose subshell would have no children
  return "$status"
}

# The user and system seconds in a file from run_timed, added up.
cpu_seconds() {  # cpu_seconds FILE
  awk 'NR == 2 {
    split($1, u, /[ms]/); split($2, s, /[ms]/)
    printf "%.3f\n", u[1] * 60 + u[2] + s[1] * 60 + s[2]
  }' "$1"
}

# Runs one transfer of FILES (one file, or several from one folder) with
# TOOL at BAUD (USB_MS: the adapters' latency timer, or empty) by PATH
# (cable, rfc2217, raw or picocom); prints "seconds tx_cpu rx_cpu".
measure() {  # measure TOOL BAUD USB_MS PATH FILE...
  local tool=$1 baud=$2 usb=$3 path=$4 speed=$2 started ended file
  shift 4
  ((speed > 0)) || speed=115200 # unpaced: the cable ignores the port's speed
  rm -rf "$scratch/rx" && mkdir "$scratch/rx"
  start_cable "$baud" "$usb"
  local velcot=${VELCOT:-$repo/build/velcot} classic=
  [[ $tool == baseline ]] && velcot=$BASELINE
  [[ $tool == velcot-classic ]] && classic=1
  case $tool in
    velcot* | baseline)
      (cd "$scratch/rx" && VELCOT_CLASSIC=$classic run_timed "$scratch/rx.cpu" \
        "$velcot" -p "$scratch/B" -b "$speed") >/dev/null 2>"$scratch/rx.err" &
      ;;
    zmodem)
      (cd "$scratch/rx" && run_timed "$scratch/rx.cpu" \
        rz -b -y -q <"$scratch/B" >"$scratch/B") 2>"$scratch/rx.err" &
      ;;
  esac
  local receiver=$!
  sleep 0.3
  local port=$scratch/A
  [[ $path == rfc2217 ]] && port=rfc2217://127.0.0.1:7401
  [[ $path == raw ]] && port=socket://127.0.0.1:7402
  started=$(now)
  case $tool,$path in
    *,picocom)
      local command="sz -b -q"
      [[ $tool == velcot* ]] && command="env VELCOT_CLASSIC=$classic $velcot -p - -b $speed"
      send_through_picocom "$speed" "$command" "$@"
      read -r started ended <"$scratch/tx.time"
      ;;
    velcot* | baseline,*)
      (VELCOT_CLASSIC=$classic run_timed "$scratch/tx.cpu" \
        "$velcot" -p "$port" -b "$speed" "$@" >/dev/null 2>"$scratch/tx.err")
      ;;
    zmodem,cable)
      (run_timed "$scratch/tx.cpu" \
        sz -b -q "$@" <"$scratch/A" >"$scratch/A" 2>"$scratch/tx.err")
      ;;
    zmodem,raw)
      (run_timed "$scratch/tx.cpu" socat TCP:127.0.0.1:7402 EXEC:"sz -b -q $*" \
        2>"$scratch/tx.err")
      ;;
    zmodem,rfc2217)
      (BRIDGE_URL=$port BRIDGE_SPEED=$speed run_timed "$scratch/tx.cpu" \
        socat EXEC:"/usr/bin/python3 $scratch/bridge.py" EXEC:"sz -b -q $*" 2>"$scratch/tx.err")
      ;;
  esac
  [[ $path == picocom ]] || ended=$(now)
  # rz ends by itself after the session; a velcot receiver ends when the
  # cable goes away.
  [[ $tool == zmodem ]] && wait "$receiver" 2>/dev/null
  stop_cable
  wait "$receiver" 2>/dev/null || true
  for file in "$@"; do
    if ! cmp -s "$file" "$scratch/rx/$(basename "$file")"; then
      echo "bench: $tool at $baud: the received $(basename "$file") differs" >&2
      cat "$scratch/tx.err" "$scratch/rx.err" >&2
      exit 1
    fi
  done
  echo "$(awk -v a="$started" -v b="$ended" 'BEGIN { print b - a }') $(cpu_seconds "$scratch/tx.cpu") \
$(cpu_seconds "$scratch/rx.cpu")"
}

# Prints one table row, and adds a single file's point to the plot's data.
report() {  # report TOOL ROW BAUD SIZE FILES SECONDS TX_CPU RX_CPU
  local series=paced
  [[ $2 == */usb* ]] && series="USB model ${2#*/usb} ms"
  awk -v tool="$1" -v row="$2" -v baud="$3" -v size="$4" -v files="$5" -v secs="$6" -v tx="$7" \
    -v rx="$8" -v series="${1/zmodem/sz\/rz}, $series" -v data="$scratch/goodput.tsv" 'BEGIN {
    total = size * files; goodput = total / secs; mib = total / 1048576
    line = baud > 0 ? sprintf("%.1f%%", 100 * goodput / (baud / 10)) : "-"
    blocks = int((size + 1023) / 1024)
    ceiling = "-"
    if (baud > 0 && tool != "zmodem")
      ceiling = sprintf("%.1f%%", 100 * (files * (19 + size + 4 * blocks) * 10 / baud) / secs)
    shown = files > 1 ? sprintf("%d x %d KiB", files, size / 1024) : sprintf("%d KiB", size / 1024)
    printf "| %s | %s | %s | %.2f s | %.0f B/s | %s | %s | %.3f | %.3f |\n",
      tool, (baud > 0 ? row : "unpaced"), shown, secs, goodput, line, ceiling, tx / mib, rx / mib
    if (baud > 0 && files == 1 && tool != "baseline" && row !~ /rfc2217|raw|picocom/)
      printf "%s\t%d\t%.2f\n", series, baud, 100 * goodput / (baud / 10) >> data
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

# What the codecs make of each file of the corpus, and of all of it.
print_codec_table() {  # print_codec_table DIR
  echo
  echo "| file | size | deflate-6 | deflate-6, flushed every 8 KiB | zstd-3 | zstd-19 |\
 CPU s/MiB deflate-6 / zstd-3 / zstd-19 |"
  echo "| --- | --- | --- | --- | --- | --- | --- |"
  "$repo/build/codec_ratio" "$1"/* | awk -F'\t' '
    function row(name, size, d, f, z3, z19, cd, c3, c19, mib) {
      mib = size / 1048576
      printf "| %s | %d | %.2f | %.2f | %.2f | %.2f | %.3f / %.3f / %.3f |\n", name, size, size / d,
        size / f, size / z3, size / z19, cd / mib, c3 / mib, c19 / mib
    }
    { row($1, $2, $3, $4, $5, $6, $7, $8, $9)
      for (i = 2; i <= 9; i++) sum[i] += $i }
    END { row("whole corpus", sum[2], sum[3], sum[4], sum[5], sum[6], sum[7], sum[8], sum[9]) }'
}

# One line of a corpus table.
report_corpus() {  # report_corpus TOOL BAUD NAME SIZE SECONDS TX_CPU RX_CPU
  awk -v tool="$1" -v baud="$2" -v name="$3" -v size="$4" -v secs="$5" -v tx="$6" -v rx="$7" 'BEGIN {
    goodput = size / secs; mib = size / 1048576
    line = baud > 0 ? sprintf("%.1f%%", 100 * goodput / (baud / 10)) : "-"
    printf "| %s | %s | %s | %d | %.2f s | %.0f B/s | %s | %.3f | %.3f |\n", tool,
      (baud > 0 ? baud : "unpaced"), name, size, secs, goodput, line, tx / mib, rx / mib
  }'
}

# Each file of the corpus in DIR sent alone at BAUD by each tool in turn;
# then each tool's figures for the whole corpus: the files' figures added
# up, and the whole corpus sent in one run (between velcots, one session).
run_corpus_row() {  # run_corpus_row DIR BAUD
  local dir=$1 baud=$2 tool file secs tx rx
  local corpus_tools=(velcot)
  [[ -n ${BASELINE:-} ]] && corpus_tools+=(baseline)
  corpus_tools+=(zmodem)
  echo
  echo "| tool | baud | file | size | time | goodput | of baud/10 | CPU s/MiB sender | CPU s/MiB receiver |"
  echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"
  for file in "$dir"/*; do
    for tool in "${corpus_tools[@]}"; do
      read -r secs tx rx < <(measure "$tool" "$baud" "" cable "$file")
      [[ -n ${rx:-} ]] || exit 1 # measure has said why
      echo "$(stat -c %s "$file") $secs $tx $rx" >>"$scratch/corpus-$baud-$tool"
      report_corpus "$tool" "$baud" "$(basename "$file")" "$(stat -c %s "$file")" "$secs" "$tx" "$rx"
    done
  done
  for tool in "${corpus_tools[@]}"; do
    # shellcheck disable=SC2046  # the four sums as four arguments
    report_corpus "$tool" "$baud" "whole corpus, file by file" $(awk '{ for (i = 1; i <= 4; i++) sum[i] += $i }
      END { print sum[1], sum[2], sum[3], sum[4] }' "$scratch/corpus-$baud-$tool")
  done
  local total
  total=$(cat "$dir"/* | wc -c)
  for tool in "${corpus_tools[@]}"; do
    read -r secs tx rx < <(measure "$tool" "$baud" "" cable "$dir"/*)
    [[ -n ${rx:-} ]] || exit 1
    report_corpus "$tool" "$baud" "whole corpus, one run" "$total" "$secs" "$tx" "$rx"
  done
}

# The files in one run at each BAUD, after the ratios of the standard
# compressors over their tar (a lone file: over the file).
run_session_rows() {  # run_session_rows DIR BAUD...
  local dir=$1 tar=$scratch/session.tar baud tool secs tx rx total sets=("$1")
  shift
  [[ -n ${SAMPLE:-} ]] && sets+=("$SAMPLE")
  echo
  echo "| tool | baud | files | bytes | time | goodput | of baud/10 | CPU s/MiB sender | CPU s/MiB receiver |"
  echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"
  for set in "${sets[@]}"; do
    local files=("$set")
    [[ -d $set ]] && files=("$set"/*)
    total=$(cat "${files[@]}" | wc -c)
    tar -cf "$tar" -C "$(dirname "${files[0]}")" $(for f in "${files[@]}"; do basename "$f"; done)
    for tool in "gzip -9" "zstd -19" "xz -9e"; do
      local packed
      if [[ -d $set ]]; then packed=$($tool -c "$tar" | wc -c); else packed=$($tool -c "$set" | wc -c); fi
      echo "| $tool | - | $(basename "$set") | $total | - | - | $(awk -v a="$total" -v b="$packed" \
        'BEGIN { printf "%.3f (ratio)", a / b }') | - | - |"
    done
    for baud in "$@"; do
      local session_tools=(velcot)
      [[ -n ${BASELINE:-} ]] && session_tools+=(baseline)
      for tool in "${session_tools[@]}"; do
        read -r secs tx rx < <(measure "$tool" "$baud" "" cable "${files[@]}")
        [[ -n ${rx:-} ]] || exit 1
        awk -v tool="$tool" -v baud="$baud" -v name="$(basename "$set")" -v size="$total" \
          -v secs="$secs" -v tx="$tx" -v rx="$rx" 'BEGIN { goodput = size / secs; mib = size / 1048576
          printf "| %s | %d | %s | %d | %.2f s | %.0f B/s | %.3f x | %.3f | %.3f |\n", tool, baud,
            name, size, secs, goodput, goodput / (baud / 10), tx / mib, rx / mib }'
      done
    done
  done
}

if [[ ${1:-} == --plot ]]; then
  plot
  exit 0
fi

rows=("$@")
((${#rows[@]})) || rows=(9600 115200 921600 3000000 0 115200/usb16 115200/usb1 921600/usb16
  921600/usb1 115200/files100 115200/rfc2217 115200/raw 115200/picocom)
corpus_rows=()
session_rows=()
ordinary=0
for row in "${rows[@]}"; do
  if [[ $row == */corpus ]]; then
    corpus_rows+=("${row%/corpus}")
  elif [[ $row == */session ]]; then
    session_rows+=("${row%/session}")
  else
    ordinary=1
  fi
done
if ((ordinary)); then
  echo "| tool | baud | size | time | goodput | of baud/10 | of classic ceiling | CPU s/MiB sender | CPU s/MiB receiver |"
  echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"
fi
tools=(velcot velcot-classic)
[[ -n ${BASELINE:-} ]] && tools+=(baseline)
for row in "${rows[@]}"; do
  [[ $row == */corpus || $row == */session ]] && continue
  baud=${row%%/*}
  usb=
  [[ $row == */usb* ]] && usb=${row#*/usb}
  count=1
  [[ $row == */files* ]] && count=${row#*/files}
  path=cable
  [[ $row =~ /(rfc2217|raw|picocom)$ ]] && path=${BASH_REMATCH[1]}
  [[ $path == rfc2217 || $path == raw ]] && start_ser2net
  case $baud in
    9600) size=$((16 * 1024)) ;;
    0) size=$((8 * 1024 * 1024)) ;;
    921600 | 3000000) size=$((1024 * 1024)) ;;
    *) size=$((128 * 1024)) ;;
  esac
  ((count == 1)) || size=1024
  files=("$scratch/r$size.bin") # 8.3 names, stored unchanged
  ((count == 1)) || files=()
  for ((i = 0; i < count; i++)); do
    ((count == 1)) || files+=("$scratch/s$i.bin")
    [[ -e ${files[i]} ]] || head -c "$size" /dev/urandom >"${files[i]}"
  done
  for tool in "${tools[@]}" zmodem; do
    [[ $tool == baseline && $path != cable ]] && continue
    read -r secs tx rx < <(measure "$tool" "$baud" "$usb" "$path" "${files[@]}")
    report "$tool" "$row" "$baud" "$size" "$count" "$secs" "$tx" "$rx"
  done
done
if ((${#corpus_rows[@]})); then
  corpus=${CORPUS:-$scratch/corpus}
  [[ -n ${CORPUS:-} ]] || bash "$repo/bench/corpus.sh" "$corpus"
  print_codec_table "$corpus"
  for baud in "${corpus_rows[@]}"; do
    run_corpus_row "$corpus" "$baud"
  done
fi
if ((${#session_rows[@]})); then
  corpus=${CORPUS:-$scratch/corpus}
  [[ -e $corpus ]] || bash "$repo/bench/corpus.sh" "$corpus"
  run_session_rows "$corpus" "${session_rows[@]}"
fi
# Only a run of the default rows replaces the saved figures and the picture.
if (($# == 0)); then
  cp "$scratch/goodput.tsv" "$repo/bench/goodput.tsv"
  plot
fi
