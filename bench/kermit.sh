#!/usr/bin/env bash
# Kermit's goal rows beside their anchors, measured in the same run: 256 KiB
# of random bytes at 115200 over build/nullmodem, each transfer timed from
# the sender's start to its end with the receiver already waiting, every
# copy checked.
#
#   bash bench/kermit.sh [ROW...]
#
# Rows (default: all): uboot (to U-Boot's loadb on qemu-system-arm, its
# crc32 checked, against C-Kermit with the settings U-Boot's own send_image
# script uses), ckermit (velcot to and from C-Kermit with windows and long
# packets, against C-Kermit to C-Kermit with those same robust settings and
# with its FAST defaults), noisy (bit errors 1e-5 both ways and 20 ms of
# latency, 3 files of 100 KB each way, and C-Kermit's own pair: every file
# right, a clear failure, or a hang). Prints Markdown tables.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD
rows=("$@")
((${#rows[@]})) || rows=(uboot ckermit noisy)
baud=115200
limit=${LIMIT:-300}
velcot=$repo/build/velcot

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

mkdir "$scratch/tx"
head -c 262144 /dev/urandom >"$scratch/tx/big.bin"
for n in 1 2 3; do head -c 100000 /dev/urandom >"$scratch/tx/noisy$n.bin"; done

now() { date +%s.%N; }
percent() { echo "scale=1; 262144 * 1000 / ($1 * $baud)" | bc; }  # of baud/10

# C-Kermit: robust as U-Boot's send_image has it; FAST (its default tuning)
# with the longest packets and CRC-16; the least prefixing it has.
robust="robust
set file type bin
set file name lit
set rec pack 1000
set send pack 1000
set window 5"
fast="set window 31
set receive packet-length 9024
set block-check 3
set file incomplete discard"
minimal="$fast
set prefixing minimal"
unprefixed="$fast
set control-character unprefixed all"

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

kermit_script() {  # kermit_script FILE LINK SETTINGS COMMAND
  printf 'set line %s\nset speed %s\nset carrier-watch off\nset flow none\n%s\n%s\nexit\n' \
    "$2" "$baud" "$3" "$4" >"$1"
}

# One transfer: the receiver (velcot or kermit SETTINGS) on A, then the
# sender timed on B; sets $seconds, $status and $right (files that arrived
# whole).
transfer() {  # transfer DIR SENDER RECEIVER SETTINGS FILES...
  local dir=$1 sender=$2 receiver=$3 settings=$4
  shift 4
  mkdir -p "$dir/rx"
  if [[ $receiver == velcot ]]; then
    (cd "$dir/rx" && exec timeout "$limit" "$velcot" -p "$dir/A" -b $baud --protocol kermit \
      >"$dir/rx.out" 2>"$dir/rx.err") &
  else
    kermit_script "$dir/rx.ksc" "$dir/A" "$settings" receive
    (cd "$dir/rx" && exec timeout "$limit" kermit -Y + "$dir/rx.ksc" >"$dir/rx.out" 2>&1) &
  fi
  local rx=$!
  pids+=("$rx")
  sleep 1
  local started
  started=$(now)
  if [[ $sender == velcot ]]; then
    (cd "$scratch/tx" && timeout "$limit" "$velcot" -p "$dir/B" -b $baud --protocol kermit "$@" \
      >"$dir/tx.out" 2>"$dir/tx.err")
  else
    kermit_script "$dir/tx.ksc" "$dir/B" "$settings" "msend $*"
    (cd "$scratch/tx" && timeout "$limit" kermit -Y + "$dir/tx.ksc" >"$dir/tx.out" 2>&1)
  fi
  status=$?
  seconds=$(echo "$(now) - $started" | bc)
  wait "$rx"
  right=0
  for f in "$@"; do cmp -s "$scratch/tx/$f" "$dir/rx/$f" && right=$((right + 1)); done
}

# ---- to U-Boot's loadb ----

# Boots U-Boot and answers on standard input: "loadb" runs loadb and says
# when it is ready; "crc32 SIZE" says the CRC-32 U-Boot gives the bytes
# loaded; the line is free between commands.
uboot_console() {  # uboot_console LINK
  cat >"$scratch/console.py" <<'EOF'
import os, select, sys, time, tty
link = sys.argv[1]
def talk(say, until, seconds):
    fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    if say:
        os.write(fd, say)
    heard, end = b"", time.time() + seconds
    while until not in heard and time.time() < end:
        if select.select([fd], [], [], 0.1)[0]:
            heard += os.read(fd, 4096)
    os.close(fd)
    return heard.decode("latin-1")
talk(b"", b"autoboot", 60)
talk(b"\r", b"=> ", 10)
print("ready", flush=True)
for line in sys.stdin:
    words = line.split()
    if words[0] == "loadb":
        talk(b"loadb 0x40200000\r", b"bps...\r\n", 10)
        print("loading", flush=True)
    elif words[0] == "crc32":
        talk(b"\r", b"=> ", 10)
        heard = talk(b"crc32 0x40200000 %x\r" % int(words[1]), b"\r\n=> ", 30)
        print(heard.split("==> ")[-1].split()[0] if "==> " in heard else "none", flush=True)
EOF
  /usr/bin/python3 -u "$scratch/console.py" "$1"
}

row_uboot() {
  local dir=$scratch/uboot
  start_cable "$dir" -b $baud
  qemu-system-arm -M virt -bios /usr/lib/u-boot/qemu_arm/u-boot.bin -nographic -monitor none \
    -chardev "serial,id=uart,path=$dir/B" -serial chardev:uart >"$dir/qemu.log" 2>&1 &
  pids+=($!)
  coproc console { uboot_console "$dir/A"; }
  read -r -t 90 ready <&"${console[0]}" || ready=none
  local want
  want=$(gzip -c "$scratch/tx/big.bin" | tail -c 8 | od -An -tx4 | head -c 9 | tr -d ' ')
  printf '| sender | seconds | %% of baud/10 | crc32 (want %s) |\n| --- | --- | --- | --- |\n' "$want"
  for sender in velcot kermit; do
    echo loadb >&"${console[1]}"
    read -r -t 30 _ <&"${console[0]}"
    kermit_script "$dir/tx.ksc" "$dir/A" "$robust" "send big.bin"
    local started
    started=$(now)
    if [[ $sender == velcot ]]; then
      (cd "$scratch/tx" && timeout "$limit" "$velcot" -p "$dir/A" -b $baud --protocol kermit \
        big.bin >"$dir/tx.out" 2>"$dir/tx.err")
    else
      (cd "$scratch/tx" && timeout "$limit" kermit -Y + "$dir/tx.ksc" >"$dir/tx.out" 2>&1)
    fi
    local took
    took=$(echo "$(now) - $started" | bc)
    echo "crc32 262144" >&"${console[1]}"
    local crc=none
    read -r -t 60 crc <&"${console[0]}"
    local name="velcot --protocol kermit"
    [[ $sender == kermit ]] && name="C-Kermit (U-Boot's send_image settings)"
    printf '| %s | %.1f | %s | %s |\n' "$name" "$took" "$(percent "$took")" "$crc"
  done
  kill "$console_PID" 2>/dev/null
  stop_cable
}

# ---- with C-Kermit ----

row_ckermit() {
  printf '| pair | C-Kermit settings | seconds | %% of baud/10 | right |\n'
  printf '| --- | --- | --- | --- | --- |\n'
  local n=0 pair settings name
  for pair in "velcot kermit fast" "kermit velcot minimal" "kermit velcot unprefixed" \
    "kermit kermit robust" "kermit kermit fast"; do
    read -r sender receiver name <<<"$pair"
    settings=${!name}
    n=$((n + 1))
    start_cable "$scratch/ck$n" -b $baud
    transfer "$scratch/ck$n" "$sender" "$receiver" "$settings" big.bin
    stop_cable
    printf '| %s → %s | %s | %.1f | %s | %s |\n' "${sender/kermit/C-Kermit}" \
      "${receiver/kermit/C-Kermit}" "$name" "$seconds" "$(percent "$seconds")" \
      "$([[ $status == 0 && $right == 1 ]] && echo yes || echo "no ($status)")"
  done
}

# ---- a noisy line ----

row_noisy() {
  printf '| pair | seconds | status | files right | wrong file stored | hung |\n'
  printf '| --- | --- | --- | --- | --- | --- |\n'
  local n=0 pair
  for pair in "velcot kermit" "kermit velcot" "kermit kermit"; do
    read -r sender receiver <<<"$pair"
    n=$((n + 1))
    start_cable "$scratch/noisy$n" -b $baud --ber-ab 1e-5 --ber-ba 1e-5 --latency-ms 20 --seed $n
    transfer "$scratch/noisy$n" "$sender" "$receiver" "$fast" noisy1.bin noisy2.bin noisy3.bin
    stop_cable
    local wrong=0
    for f in "$scratch/noisy$n/rx"/*; do
      [[ -e $f ]] || continue
      cmp -s "$f" "$scratch/tx/$(basename "$f")" || wrong=$((wrong + 1))
    done
    printf '| %s → %s | %.1f | %s | %s/3 | %s | %s |\n' "${sender/kermit/C-Kermit}" \
      "${receiver/kermit/C-Kermit}" "$seconds" "$status" "$right" "$wrong" \
      "$([[ $status == 124 ]] && echo "yes (stopped at ${limit} s)" || echo no)"
  done
}

for row in "${rows[@]}"; do
  echo "### $row"
  echo
  "row_$row"
  echo
done
