#!/usr/bin/env bash
# Sends a file from one velcot to another over a virtual null-modem cable
# that runs at the speed of a real serial line, and checks what arrived.
#
#   bash tools/demo.sh [FILE] [BAUD]
#
#   FILE  the file to send (default: 64 KiB of random data, demo.bin;
#         give "" to keep the default and still choose BAUD)
#   BAUD  line speed, 8N1 (default 115200)
#
# Both ends' progress lines are shown while the file travels. Exits 0 when
# the sender succeeded and the received file is identical to the one sent.
# Environment: DEMO_SIZE, the size of the generated file in bytes; VELCOT
# and NULLMODEM, programs to run instead of building build/velcot and
# build/nullmodem (the armhf tests give wrappers that emulate theirs).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
file=${1:-}
baud=${2:-115200}
size=${DEMO_SIZE:-65536}

if [[ ${1:-} == -h || ${1:-} == --help ]]; then
  sed -n '2,15s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
  exit 0
fi
if ! [[ $baud =~ ^[1-9][0-9]*$ ]]; then
  echo "demo: BAUD must be a positive number, not '$baud'" >&2
  exit 2
fi
if ! [[ $size =~ ^[0-9]+$ ]]; then
  echo "demo: DEMO_SIZE must be a number of bytes, not '$size'" >&2
  exit 2
fi
if [[ -n $file && ! -f $file ]]; then
  echo "demo: $file is not a readable file" >&2
  exit 2
fi

velcot=${VELCOT:-$repo/build/velcot}
nullmodem=${NULLMODEM:-$repo/build/nullmodem}
[[ -n ${VELCOT:-} && -n ${NULLMODEM:-} ]] || bash "$repo/tools/setup.sh" velcot nullmodem

# The progress bar is drawn in UTF-8 only under a UTF-8 locale; elsewhere it
# comes out as code page 437 bytes, which a modern terminal shows as
# garbage. The demo runs velcot under a UTF-8 locale when there is one.
if [[ $(locale charmap 2>/dev/null) != UTF-8 ]]; then
  for candidate in C.UTF-8 C.utf8 en_US.UTF-8; do
    if LC_ALL=$candidate locale charmap 2>/dev/null | grep -qx UTF-8; then
      export LC_ALL=$candidate
      break
    fi
  done
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/velcot-demo.XXXXXX")
nullmodem_pid=
receiver_pid=
sender_pid=
panel_lines=0

stop() {  # stop PID...: ends the processes this script started, and reaps them
  local pid
  for pid in "$@"; do
    if [[ -n $pid ]]; then kill "$pid" 2>/dev/null || true; fi
  done
  for pid in "$@"; do
    if [[ -n $pid ]]; then wait "$pid" 2>/dev/null || true; fi
  done
}

# shellcheck disable=SC2317  # the traps below call these
cleanup() {
  stop "$sender_pid" "$receiver_pid"
  stop "$nullmodem_pid"
  rm -rf "$scratch"
}

# shellcheck disable=SC2317
interrupted() {
  trap - INT TERM
  echo "demo: interrupted" >&2
  cleanup
  exit 130
}
trap cleanup EXIT
trap interrupted INT TERM

# ---- the file to send ----

mkdir "$scratch/received"
if [[ -z $file ]]; then
  head -c "$size" /dev/urandom >"$scratch/demo.bin"
  send_dir=$scratch
  send_name=demo.bin
  what="$size random bytes"
else
  send_dir=$(cd "$(dirname "$file")" && pwd)
  send_name=$(basename "$file")
  size=$(stat -c %s "$file")
  what="$size bytes"
fi
echo "velcot demo: $send_name ($what), $baud baud 8N1, virtual null-modem cable"

# ---- the cable and the receiver ----

"$nullmodem" -b "$baud" "$scratch/A" "$scratch/B" 2>"$scratch/nullmodem.log" &
nullmodem_pid=$!
for ((tries = 0; ; tries++)); do
  [[ -e $scratch/A && -e $scratch/B ]] && break
  if ((tries == 100)) || ! kill -0 "$nullmodem_pid" 2>/dev/null; then
    echo "demo: the virtual cable did not start:" >&2
    cat "$scratch/nullmodem.log" >&2
    exit 1
  fi
  sleep 0.1
done

(cd "$scratch/received" && exec "$velcot" -p "$scratch/B" -b "$baud") \
  >"$scratch/receiver.out" 2>"$scratch/receiver.err" &
receiver_pid=$!

# A START byte sent before the receiver listens would be lost; wait until it
# holds its end of the cable.
port_b=$(readlink -f "$scratch/B")
for ((tries = 0; ; tries++)); do
  if ! kill -0 "$receiver_pid" 2>/dev/null; then
    echo "demo: the receiver did not start:" >&2
    cat "$scratch/receiver.err" >&2
    exit 1
  fi
  for fd in /proc/"$receiver_pid"/fd/*; do
    [[ $(readlink "$fd" 2>/dev/null) == "$port_b" ]] && break 2
  done
  ((tries < 100)) || break
  sleep 0.05
done
sleep 0.2  # and has configured it

# ---- the transfer ----

# The newest complete drawing of the progress line in a log: the text after
# the last carriage return or line feed, ignoring a drawing still being written.
latest_line() {
  local text
  text=$(tail -c 1000 "$1" 2>/dev/null; echo .)
  text=${text%.}
  [[ $text == *[$'\r\n'] ]] || text=${text%[$'\r\n']*}
  text=${text%[$'\r\n']}
  printf '%s' "${text##*[$'\r\n']}"
}

# The output as it finally stands on a terminal: every line as its last drawing.
final_lines() {
  local label=$1 log=$2
  [[ -s $log ]] || return 0
  awk -v label="$label" '{ sub(/\r$/, ""); n = split($0, part, "\r"); print label part[n] }' "$log"
}

live=0
[[ -t 1 ]] && live=1
columns=$( (tput cols || echo 80) 2>/dev/null)

draw_panel() {
  local sender receiver
  sender=$(latest_line "$scratch/sender.out")
  receiver=$(latest_line "$scratch/receiver.out")
  sender="sender:   ${sender:-waiting}"
  receiver="receiver: ${receiver:-waiting}"
  ((panel_lines > 0)) && printf '\033[%dA' "$panel_lines"
  printf '\r\033[K%s\n\r\033[K%s\n' "${sender:0:columns-1}" "${receiver:0:columns-1}"
  panel_lines=2
}

# The sender is timed from its start to its end, by the subshell that runs it.
(
  cd "$send_dir"
  date +%s%N >"$scratch/start"
  result=0
  "$velcot" -p "$scratch/A" -b "$baud" "$send_name" || result=$?
  date +%s%N >"$scratch/end"
  exit "$result"
) >"$scratch/sender.out" 2>"$scratch/sender.err" &
sender_pid=$!
start=$(date +%s%N)

# Far beyond what the line needs, in case an end stalls.
limit=$((30 + 3 * size * 10 / baud))
while kill -0 "$sender_pid" 2>/dev/null; do
  ((live)) && draw_panel
  if (($(date +%s%N) - start > limit * 1000000000)); then
    ((live)) && printf '\033[%dA\033[J' "$panel_lines"
    echo "demo: no end to the transfer after $limit s" >&2
    final_lines "sender:   " "$scratch/sender.out"
    final_lines "receiver: " "$scratch/receiver.out"
    exit 1
  fi
  sleep 0.1
done
sender_status=0
wait "$sender_pid" || sender_status=$?
sender_pid=
start=$(cat "$scratch/start")
end=$(cat "$scratch/end")

# The receiver renames the file into place once it has answered the last
# block, so it may still be a moment behind the sender.
stored=
for ((tries = 0; tries < 50; tries++)); do
  stored=$(find "$scratch/received" -mindepth 1 -maxdepth 1 -type f ! -name '.velcot-*.part' -print -quit)
  [[ -n $stored ]] && break
  kill -0 "$receiver_pid" 2>/dev/null || break
  sleep 0.1
done
((live)) && draw_panel
stop "$receiver_pid"
receiver_pid=
stop "$nullmodem_pid"
nullmodem_pid=

# ---- the outcome ----

if ((live)); then
  printf '\033[%dA\033[J' "$panel_lines"  # the panel gives way to the full output
  panel_lines=0
fi
final_lines "sender:   " "$scratch/sender.out"
final_lines "sender:   " "$scratch/sender.err"
final_lines "receiver: " "$scratch/receiver.out"
final_lines "receiver: " "$scratch/receiver.err"
grep -v '^nullmodem: ready' "$scratch/nullmodem.log" | sed 's/^/cable:    /' || true

status=0
if ((sender_status != 0)); then
  echo "demo: the sender failed (exit status $sender_status)"
  status=1
fi
if [[ -z $stored ]]; then
  echo "demo: nothing was stored by the receiver"
  status=1
elif cmp -s "$send_dir/$send_name" "$stored"; then
  echo "received ${stored##*/}: identical to $send_name"
else
  echo "demo: received ${stored##*/} differs from $send_name"
  status=1
fi

((status == 0)) || exit "$status"
awk -v bytes="$size" -v ns="$((end - start))" -v baud="$baud" 'BEGIN {
  s = ns / 1e9; rate = bytes / s; line = baud / 10
  printf "%d bytes in %.2f s: %.0f bytes/s, %.1f%% of the line'"'"'s %.0f bytes/s\n",
         bytes, s, rate, 100 * rate / line, line
}'
