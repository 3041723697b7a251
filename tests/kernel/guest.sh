#!/bin/busybox sh
# The guest's /init in the kernel-driver suite (tests/kernel/run.sh packs
# it): loads the USB serial drivers, runs the guest's part of the case
# named by velcot.case= on the kernel's command line, and powers off.
#
# The console (ttyS0) is the channel to the host: lines the guest writes
# there start with "@velcot "; lines the host writes to it start with
# "host " and tell the guest that the host's part has ended.
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
  (cd /rx && exec velcot -p "$(port_of "$1")" -b "$2" >/tmp/rx.out 2>/tmp/rx.err) &
  pid=$!
  say ready
  wait_for_host
  kill -INT $pid
  wait $pid
  check "receiver's status" 130 $?
  sed 's/^/@velcot receiver said: /' /tmp/rx.err
  cmp -s "/data/$3" "/rx/$3"
  check "received $3" 0 $?
}

# The guest sends over the 16550 and receives over the FTDI chip.
across() {
  (cd /rx && exec velcot -p /dev/ttyUSB0 -b "$1" >/tmp/rx.out 2>/tmp/rx.err) &
  pid=$!
  sleep 1
  send uart "$1" "$2"
  kill -INT $pid
  wait $pid
  check "receiver's status" 130 $?
  cmp -s "/data/$2" "/rx/$2"
  check "received $2" 0 $?
}

# refuse PORT RATE MESSAGE: the port cannot make RATE. With a file that is
# missing, a rate the port makes ends the sender with status 2 instead.
refuse() {
  velcot -p "$(port_of "$1")" -b "$2" /data/missing.bin >/tmp/tx.out 2>/tmp/tx.err
  status=$?
  if [ -n "$3" ]; then
    check "status at $2 on $1" 1 $status
    check "refusal of $2 on $1" "$(printf '%s\ncouldn'"'"'t configure port' "$3")" "$(cat /tmp/tx.err)"
  else
    check "status at $2 on $1" 2 $status
  fi
}

# The port as the kernel keeps it between programs.
describe_port() {
  stty -F "$1" -a 2>/dev/null
  portinfo "$1"
}

# interrupt PORT RATE FILE: Ctrl+C of a receiver mid-file. Nothing is left
# behind, the port is put back, and nothing more is sent once it is: what
# still arrives must not be echoed to the sender. The port is looked at
# only once the host's sender has stopped, as any program that opens it
# while bytes arrive echoes them itself.
interrupt() {
  port=$(port_of "$1")
  before=$(describe_port "$port")
  (cd /rx && exec velcot -p "$port" -b "$2" >/tmp/rx.out 2>/tmp/rx.err) &
  pid=$!
  say ready
  wait_for "grep -q ' 4096/' /tmp/rx.out" 120 || fail "no block arrived"
  sent=$(portinfo --tx "$port")  # velcot has the port: nothing echoes
  kill -INT $pid
  wait $pid
  check "interrupted receiver's status" 130 $?
  say interrupted
  wait_for_host
  # At most a reply on its way when Ctrl+C came. Not on the FTDI chip:
  # QEMU's usb-serial keeps what arrived while the port was closed and
  # hands it over at the next open, which echoes it, so opening the port
  # to count would count its own echo.
  if [ "$1" = uart ]; then
    echoed=$(($(portinfo --tx "$port") - sent))
    [ $echoed -le 4 ] && say "ok nothing echoed" || fail "$echoed bytes sent after Ctrl+C"
  fi
  check "files left" "" "$(ls -A /rx)"
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
  ftdi-9600-send) send ftdi 9600 small.bin ;;
  ftdi-9600-receive) receive ftdi 9600 small.bin ;;
  ftdi-115200-send) send ftdi 115200 big.bin ;;
  ftdi-115200-receive) receive ftdi 115200 big.bin ;;
  uart-to-ftdi) across 115200 big.bin ;;
  refusals)
    refuse uart 100000 "the UART's clock makes 115200 baud for 100000"
    refuse uart 921600 "the driver set 9600 baud when 921600 was asked"
    refuse uart 57600 ""
    refuse ftdi 4000000 "the driver set 9600 baud when 4000000 was asked"
    refuse ftdi 100000 ""
    ;;
  uart-interrupt) interrupt uart 115200 huge.bin ;;
  ftdi-interrupt) interrupt ftdi 115200 huge.bin ;;
  *) fail "unknown case '$case_name'" ;;
esac
say end
poweroff -f
