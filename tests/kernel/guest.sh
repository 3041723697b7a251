#!/bin/busybox sh
# The guest's /init in the kernel-driver suite (tests/kernel/run.sh packs
# it): loads the USB serial drivers, runs the guest's part of the case
# named by velcot.case= on the kernel's command line, and powers off.
#
# The console (ttyS0) is the channel to the host: lines the guest writes
# there start with "@velcot "; lines the host writes to it start with
# "host " and tell the guest that the host's part has ended. Cases named
# *-classic-* force the classic exchange (VELCOT_CLASSIC=1), the others
# stream, which keeps each file's modification time: the checks tell which
# one ran by that.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /tmp /rx

say() { echo "@velcot $*"; }
fail() { say "FAIL $*"; }

# check WHAT EXPECTED ACTUAL
check() {
  if [ "$2" = "$3" ]; then say "ok $1"; else fail "$1: expected '$2', got '$3'"; fi
}

# Waits for the host's next line, which it prints.
wait_for_host() {
  while read -r line; do
    case $line in host*) say "heard $line" && return 0 ;; esac
  done
  fail "the console closed"
}

# wait_for TEST SECONDS: polls until TEST (a command) succeeds.
wait_for() {
  i=0
  while ! eval "$1"; do
    i=$((i + 1))
    [ $i -le $(($2 * 10)) ] || return 1
    sleep 0.1
  done
}

# A velcot in the background, ended later by Ctrl+C (kill -INT): this shell
# starts background jobs with SIGINT ignored. It is ready once it has set
# the port up: what arrives before then meets the port's own settings
# (echo, and ^V, the preamble's first byte, taking the next byte
# literally), and the sender's opening would reach it as a classic one.
receiver() {
  rx_port=$(port_of "$1")
  (cd /rx && exec portinfo --interruptible velcot -p "$rx_port" -b "$2" \
    >/tmp/rx.out 2>/tmp/rx.err) &
  pid=$!
  wait_for "stty -F $rx_port -a 2>/dev/null | grep -q -- -icanon" 30 ||
    fail "velcot did not set $rx_port up"
}

# mtime_check FILE COPY: the streaming exchange sends the modification
# time, the classic one does not.
mtime_check() {
  if [ -n "$VELCOT_CLASSIC" ]; then
    [ "$(stat -c %Y "$1")" != "$(stat -c %Y "$2")" ] && say "ok mtime not sent (classic)" ||
      fail "$2 has the mtime of $1: the classic exchange did not run"
  else
    check "mtime of $2" "$(stat -c %Y "$1")" "$(stat -c %Y "$2")"
  fi
}

port_of() {
  case $1 in
    uart) echo /dev/ttyS1 ;;
    ftdi) echo /dev/ttyUSB0 ;;
  esac
}

# send PORT RATE FILE: the guest sends, the host receives.
send() {
  velcot -p "$(port_of "$1")" -b "$2" "/data/$3" >/tmp/tx.out 2>/tmp/tx.err
  check "sender's status" 0 $?
  sed 's/^/@velcot sender said: /' /tmp/tx.err
}

# receive PORT RATE FILE: the host sends, the guest receives, and is
# stopped by Ctrl+C once the host's sender has ended.
receive() {
  receiver "$1" "$2"
  say ready
  wait_for_host
  kill -INT $pid
  wait $pid
  check "receiver's status" 130 $?
  sed 's/^/@velcot receiver said: /' /tmp/rx.err
  cmp -s "/data/$3" "/rx/$3"
  check "received $3" 0 $?
  mtime_check "/data/$3" "/rx/$3"
}

# The guest sends over the 16550 and receives over the FTDI chip.
across() {
  receiver ftdi "$1"
  sleep 1
  send uart "$1" "$2"
  kill -INT $pid
  wait $pid
  check "receiver's status" 130 $?
  cmp -s "/data/$2" "/rx/$2"
  check "received $2" 0 $?
  mtime_check "/data/$2" "/rx/$2"
}

# refuse PORT RATE MESSAGE: the port cannot make RATE. The file exists, as
# files are checked before the port is opened; at a rate the port makes the
# sender sets the port up and waits for a receiver until Ctrl+C instead.
refuse() {
  port=$(port_of "$1")
  stty -F "$port" icanon
  portinfo --interruptible velcot -p "$port" -b "$2" /data/small.bin >/tmp/tx.out 2>/tmp/tx.err &
  pid=$!
  if [ -n "$3" ]; then
    wait $pid
    check "status at $2 on $1" 1 $?
    check "refusal of $2 on $1" "$(printf '%s\ncouldn'"'"'t configure port' "$3")" "$(cat /tmp/tx.err)"
  else
    wait_for "stty -F $port -a 2>/dev/null | grep -q -- -icanon" 30 ||
      fail "velcot did not set $port up at $2"
    kill -INT $pid
    wait $pid
    check "status at $2 on $1" 130 $?
  fi
}

# The port as the kernel keeps it between programs.
describe_port() {
  stty -F "$1" -a 2>/dev/null
  portinfo "$1"
}

# The bytes of the file the receiver has taken so far, from its progress
# line (redrawn now and then, so any count may be skipped).
received_so_far() {
  tr '\r' '\n' </tmp/rx.out | sed -n 's|.* \([0-9][0-9]*\)/[0-9][0-9]* (.*|\1|p' | tail -n 1
}

# interrupt PORT RATE FILE: Ctrl+C of a receiver mid-file. Nothing is left
# behind but the file's kept part (over 8 KiB came, so it goes on from there
# when sent again), the port is put back, and nothing more is sent once it is: what
# still arrives must not be echoed to the sender. The receiver is stopped
# first, so that what it sent can be counted while the sender's data piles
# up in the driver, and Ctrl+C comes with that pile waiting. The guest
# tells how many bytes the port had sent then; the host counts what reached
# its end once velcot has ended. Counting here would need the port opened
# again, and QEMU's usb-serial hands over at that open what arrived while
# the port was closed, which the open port echoes. So the port is looked
# at only once the host has counted and its sender has stopped.
interrupt() {
  port=$(port_of "$1")
  before=$(describe_port "$port")
  receiver "$1" "$2"
  say ready
  wait_for '[ "$(received_so_far)" -ge 8192 ] 2>/dev/null' 120 || fail "no data arrived"
  kill -STOP $pid
  sent=$(portinfo --tx "$port") # velcot has the port: nothing echoes
  kill -INT $pid
  kill -CONT $pid
  wait $pid
  check "interrupted receiver's status" 130 $?
  say "interrupted; the port had sent $sent"
  wait_for_host
  left=$(ls -A /rx)
  case $left in .velcot-*-*-*.part) left="its kept part" ;; esac
  check "files left" "its kept part" "$left"
  check "port put back" "$before" "$(describe_port "$port")"
}

# The drivers the initramfs carries, in the order they depend on each other.
for module in $(cat /modules.list); do
  insmod "/lib/modules/$module" || fail "insmod $module"
done
wait_for "[ -e /dev/ttyUSB0 ]" 30 || fail "no /dev/ttyUSB0"
say "random pool $(portinfo --pool)"

case_name=$(sed -n 's/.*velcot\.case=\([^ ]*\).*/\1/p' /proc/cmdline)
say "case $case_name"
case $case_name in
  uart-9600-send) send uart 9600 small.bin ;;
  uart-9600-receive) receive uart 9600 small.bin ;;
  uart-115200-send) send uart 115200 big.bin ;;
  uart-115200-receive) receive uart 115200 big.bin ;;
  uart-115200-classic-send) export VELCOT_CLASSIC=1 && send uart 115200 big.bin ;;
  ftdi-9600-send) send ftdi 9600 small.bin ;;
  ftdi-9600-receive) receive ftdi 9600 small.bin ;;
  ftdi-115200-send) send ftdi 115200 big.bin ;;
  ftdi-115200-receive) receive ftdi 115200 big.bin ;;
  ftdi-115200-classic-receive) export VELCOT_CLASSIC=1 && receive ftdi 115200 big.bin ;;
  uart-to-ftdi) across 115200 big.bin ;;
  refusals)
    refuse uart 100000 "the UART's clock makes 115200 baud for 100000"
    refuse uart 921600 "the driver set 9600 baud when 921600 was asked"
    refuse uart 57600 ""
    refuse ftdi 4000000 "the driver set 9600 baud when 4000000 was asked"
    refuse ftdi 100000 ""
    ;;
  uart-interrupt) interrupt uart 115200 huge.bin ;;
  uart-rfc2217-receive) receive uart 115200 big.bin ;;
  ftdi-interrupt) interrupt ftdi 115200 huge.bin ;;
  *) fail "unknown case '$case_name'" ;;
esac
say end
poweroff -f
