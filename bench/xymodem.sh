#!/usr/bin/env bash
# X/YMODEM's goal rows beside their anchors, measured in the same run: 256
# KiB of random bytes at 115200 over build/nullmodem, every copy checked.
# Each transfer is timed from the receiver's start, with the sender already
# waiting for its ask, to the sender's end; to U-Boot, from the sender's
# start, with loadx or loady waiting.
#
#   bash bench/xymodem.sh [ROW...]
#
# Rows (default: all): uboot (to U-Boot's loady and loadx on
# qemu-system-arm, its crc32 checked, against lrzsz's sb and sx -k), lrzsz
# (velcot to rb and from sb, against sb to rb; YMODEM-g from sb and between
# velcots), noisy (bit errors 1e-5 both ways and 20 ms of latency, 3 files
# of 100 KB each way, and lrzsz's own pair: every file right, a clear
# failure, or a hang). lrzsz runs through socat: it flushes the line as it
# exits, which on a pty drops its last answer. Prints Markdown tables.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD
rows=("$@")
((${#rows[@]})) || rows=(uboot lrzsz noisy)
baud=115200
limit=${LIMIT:-300}
velcot=$repo/build/velcot

source "$repo/bench/peer_ends.sh"
mkdir "$scratch/tx"
head -c 262144 /dev/urandom >"$scratch/tx/big.bin"
for n in 1 2 3; do head -c 100000 /dev/urandom >"$scratch/tx/noisy$n.bin"; done

# ---- to U-Boot's loady and loadx ----

# Boots U-Boot and answers on standard input: "loady" or "loadx" runs it
# and says when it is ready; "crc32 SIZE" says the CRC-32 U-Boot gives the
# bytes loaded; the line is free between commands.
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
    if words[0] in ("loady", "loadx"):
        talk(words[0].encode() + b" 0x40200000\r", b"bps...\r\n", 10)
        print("loading", flush=True)
    elif words[0] == "crc32":
        # The loader drops what comes in its last moments: asked again once.
        for _ in range(2):
            talk(b"\r", b"=> ", 10)
            heard = talk(b"crc32 0x40200000 %x\r" % int(words[1]), b"\r\n=> ", 10)
            if "==> " in heard:
                break
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
  read -r -t 90 _ <&"${console[0]}"
  local want
  want=$(gzip -c "$scratch/tx/big.bin" | tail -c 8 | od -An -tx4 | head -c 9 | tr -d ' ')
  printf '| command | sender | seconds | %% of baud/10 | crc32 (want %s) |\n' "$want"
  printf '| --- | --- | --- | --- | --- |\n'
  local row command sender
  for row in "loady|velcot --protocol ymodem big.bin" "loady|sb big.bin" \
    "loadx|velcot --protocol xmodem-1k big.bin" "loadx|velcot --protocol xmodem big.bin" \
    "loadx|sx -k big.bin"; do
    IFS='|' read -r command sender <<<"$row"
    echo "$command" >&"${console[1]}"
    read -r -t 30 _ <&"${console[0]}"
    local started
    started=$(now)
    # shellcheck disable=SC2086
    run_end "$dir/A" "$scratch/tx" "$dir/tx" $sender
    local took
    took=$(echo "$(now) - $started" | bc)
    echo "crc32 262144" >&"${console[1]}"
    local crc=none
    read -r -t 60 crc <&"${console[0]}"
    printf '| %s | %s | %.1f | %s | %s |\n' "$command" "${sender% big.bin}" "$took" \
      "$(percent "$took")" "$crc"
  done
  kill "$console_PID" 2>/dev/null
  stop_cable
}

# ---- with lrzsz ----

row_lrzsz() {
  printf '| pair | seconds | %% of baud/10 | right |\n| --- | --- | --- | --- |\n'
  local n=0 pair sender receiver
  for pair in "velcot --protocol ymodem|rb" "sb|velcot --protocol ymodem" "sb|rb" \
    "sb|velcot --protocol ymodem-g" "velcot --protocol ymodem-g|velcot --protocol ymodem-g" \
    "velcot --protocol xmodem-1k|rx -c got.bin" "sx -k|velcot --protocol xmodem-1k -o got.bin"; do
    IFS='|' read -r sender receiver <<<"$pair"
    n=$((n + 1))
    start_cable "$scratch/lr$n" -b $baud
    transfer "$scratch/lr$n" "$sender" "$receiver" big.bin
    stop_cable
    local shown=$right
    # rx keeps XMODEM's padding: 256 KiB is whole blocks, so none here.
    printf '| %s → %s | %.1f | %s | %s |\n' "$sender" "$receiver" "$seconds" \
      "$(percent "$seconds")" "$([[ $status == 0 && $shown == 1 ]] && echo yes || echo "no ($status)")"
  done
}

# ---- a noisy line ----

row_noisy() {
  printf '| pair | seconds | status | files right | wrong file stored | hung |\n'
  printf '| --- | --- | --- | --- | --- | --- |\n'
  local n=0 pair sender receiver
  for pair in "velcot --protocol ymodem|rb" "sb|velcot --protocol ymodem" "sb|rb"; do
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

for row in "${rows[@]}"; do
  echo "### $row"
  echo
  "row_$row"
  echo
done
