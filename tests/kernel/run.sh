#!/usr/bin/env bash
# velcot on the Linux kernel's own serial drivers: boots Debian's kernel
# (linux-image-amd64) under qemu-system-x86_64 (TCG) with a small
# initramfs (busybox-static, a static velcot, the USB serial drivers), once
# per case. The guest's second 16550 UART (8250 driver) and QEMU's
# usb-serial, an FTDI chip (ftdi_sio driver), are wired to host
# pseudo-terminals, each joined to a host velcot through build/nullmodem,
# which paces each end at the rate its side set (QEMU sets its host
# terminal's speed as the guest sets the UART's, and paces nothing).
#
#   bash tests/kernel/run.sh [CASE...]      (default: every case)
#
# Every case checks the files byte for byte and the exit status of every
# velcot, never a time. Installs what is missing first (setup.sh --kernel).
# Work files go to build-kernel/ (KERNEL_BUILD_DIR); the console of a failed case
# is shown. Prints one line per case and "N passed, N failed".
#
# What QEMU cannot show: overruns (its UART takes a byte only when the
# guest has room), an FTDI chip's latency timer (its usb-serial hands each
# byte over at once), and other USB chips (cp210x, pl2303, ch341).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
source_dir=$PWD
bash tools/setup.sh --kernel --no-wine velcot nullmodem

cases=(uart-9600-send uart-9600-receive uart-115200-send uart-115200-receive
  uart-115200-classic-send ftdi-9600-send ftdi-9600-receive ftdi-115200-send
  ftdi-115200-receive ftdi-115200-classic-receive uart-to-ftdi refusals
  uart-interrupt ftdi-interrupt uart-rfc2217-receive)
(($# == 0)) || cases=("$@")
work=$(mkdir -p "${KERNEL_BUILD_DIR:-build-kernel}" && cd "${KERNEL_BUILD_DIR:-build-kernel}" && pwd)
velcot=$source_dir/${BUILD_DIR:-build}/velcot
nullmodem=$source_dir/${BUILD_DIR:-build}/nullmodem

die() {
  echo "kernel/run.sh: $*" >&2
  exit 1
}

# ---- the kernel, its modules, the initramfs ----

# The newest kernel installed with its modules.
kernel_version=$(cd /lib/modules && ls -d -- *-amd64 2>/dev/null | sort -V | tail -n 1)
[[ -n $kernel_version && -f /boot/vmlinuz-$kernel_version ]] ||
  die "no Debian kernel installed (linux-image-amd64)"

# An uncompressed vmlinux boots in about a second less under TCG: QEMU
# starts it at its PVH entry. It is the xz stream inside the bzImage.
extract_vmlinux() {
  local offset
  [[ $work/vmlinux -nt /boot/vmlinuz-$kernel_version ]] && return 0
  for offset in $(LC_ALL=C grep -abo $'\xfd7zXZ' "/boot/vmlinuz-$kernel_version" | cut -d: -f1); do
    tail -c +$((offset + 1)) "/boot/vmlinuz-$kernel_version" | xz -dc >"$work/vmlinux" 2>/dev/null || true
    [[ $(head -c 4 "$work/vmlinux") == $'\x7fELF' ]] && return 0
  done
  die "no vmlinux found in /boot/vmlinuz-$kernel_version"
}

# The modules a name needs, dependencies first, as paths under /lib/modules.
modules_for() {
  local dir=/lib/modules/$kernel_version line
  line=$(grep -E "/$1\.ko(\.[a-z]+)?:" "$dir/modules.dep") || die "no module $1"
  local -a parts
  read -r -a parts <<<"${line/:/}"
  for ((i = ${#parts[@]} - 1; i >= 0; i--)); do echo "${parts[i]}"; done
}

make_initramfs() {
  local root=$work/root module name
  rm -rf "$root"
  mkdir -p "$root"/{bin,data,dev,proc,sys,lib/modules}
  cp /bin/busybox "$work/velcot-static" "$work/portinfo" "$root/bin/"
  mv "$root/bin/velcot-static" "$root/bin/velcot"
  install -m 755 "$source_dir/tests/kernel/guest.sh" "$root/init"
  cp -p "$work"/data/*.bin "$root/data/"
  : >"$root/modules.list"
  for module in $( (modules_for uhci-hcd && modules_for ftdi_sio) | awk '!seen[$0]++'); do
    name=$(basename "${module%%.ko*}").ko
    case $module in
      *.xz) xz -dc "/lib/modules/$kernel_version/$module" >"$root/lib/modules/$name" ;;
      *.zst) zstd -qdc "/lib/modules/$kernel_version/$module" >"$root/lib/modules/$name" ;;
      *) cp "/lib/modules/$kernel_version/$module" "$root/lib/modules/$name" ;;
    esac
    echo "$name" >>"$root/modules.list"
  done
  (cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) >"$work/initramfs.cpio"
}

# A static velcot from these sources, and the guest's helper.
build_guest_programs() {
  if ! {
    cmake -S . -B "$work/static" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_EXE_LINKER_FLAGS=-static &&
      cmake --build "$work/static" -j2 --target velcot &&
      ${CXX:-c++} -std=c++17 -O2 -Wall -Wextra -Werror -static -o "$work/portinfo" \
        tests/kernel/portinfo.cpp
  } >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    die "build failed; full log in $work/build.log"
  fi
  cp "$work/static/velcot" "$work/velcot-static"
}

make_data() {
  mkdir -p "$work/data"
  head -c 3000 /dev/urandom >"$work/data/small.bin"
  head -c 40000 /dev/urandom >"$work/data/big.bin"
  head -c 262144 /dev/urandom >"$work/data/huge.bin"
  # A time no copy gets by accident: only the streaming exchange sends it.
  touch -d @1000000000 "$work"/data/*.bin
}

# ---- one case ----

pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap stop_all EXIT

# Waits until the console holds a line, or QEMU has ended; 1 then.
wait_for_console() {
  local text=$1 limit=$((SECONDS + 300))
  until grep -q "^@velcot $text" "$dir/console.log" 2>/dev/null; do
    kill -0 "$qemu" 2>/dev/null && ((SECONDS < limit)) || return 1
    sleep 0.2
  done
}

tell_guest() {
  echo "host $*" >"$dir/console.in"
}

# A line that this case has failed, for its report.
failed() {
  echo "FAIL $*" >>"$dir/host.log"
}

# check WHAT EXPECTED ACTUAL
check() {
  [[ $2 == "$3" ]] || failed "$1: expected '$2', got '$3'"
}

# host_velcot FOLDER LOG LINK RATE [FILE]: a host velcot in the background,
# which kill -INT ends as Ctrl+C would even if this script was started with
# SIGINT ignored. A LINK with :// is a network port.
host_velcot() {
  local folder=$1 log=$2 port=$dir/$3
  shift 2
  [[ $1 == *://* ]] && port=$1
  mkdir -p "$folder"
  (cd "$folder" && VELCOT_CLASSIC=$classic exec "$work/portinfo" --interruptible "$velcot" \
    -p "$port" -b "$2" "${@:3}" >"$dir/$log.out" 2>"$dir/$log.err") &
  pids+=($!)
  host_pid=$!
}

# mtime_check FILE COPY: only the streaming exchange sends the time.
mtime_check() {
  local want have
  want=$(stat -c %Y "$1")
  have=$(stat -c %Y "$2" 2>/dev/null) || return 0 # the copy is missing: failed already
  if ((classic)); then
    [[ $have != "$want" ]] || failed "$2 has the mtime of $1: the classic exchange did not run"
  else
    check "mtime of $2" "$want" "$have"
  fi
}

# The bytes the guest has sent on a port's cable so far: those nullmodem
# carried from QEMU's end, or dropped at the host's with no program there.
sent_by_guest() {
  local log=$dir/nullmodem-$1-qemu.log count i
  count=$(grep -c '^A->B:' "$log")
  kill -USR1 "${cable_pids[$1]}"
  for ((i = 0; i < 50; i++)); do
    (($(grep -c '^A->B:' "$log") > count)) && break
    sleep 0.1
  done
  grep '^A->B:' "$log" | tail -n 1 | awk '{ print $2 + $8 }'
}

run_case() {
  local name=$1 port=${1%%-*} rate file role classic=0
  dir=$work/cases/$name
  rm -rf "$dir"
  mkdir -p "$dir"
  rate=$(cut -d- -f2 <<<"$name")
  [[ $rate =~ ^[0-9]+$ ]] || rate=115200
  role=${name##*-}
  case $rate in 9600) file=small.bin ;; *) file=big.bin ;; esac
  [[ $role == interrupt ]] && file=huge.bin
  [[ $name == *-classic-* ]] && classic=1

  # The lines: nullmodem between each of QEMU's ends and the host's, or
  # between QEMU's two ends. (QEMU attaches its USB chip only once its
  # end is open, so an end nobody uses has its cable too.)
  local cables=("uart-qemu uart-host" "ftdi-qemu ftdi-host") cable
  [[ $name == uart-to-ftdi ]] && cables=("uart-qemu ftdi-qemu")
  declare -A cable_pids=()
  for cable in "${cables[@]}"; do
    local ends=($cable)
    "$nullmodem" "$dir/${ends[0]}" "$dir/${ends[1]}" 2>"$dir/nullmodem-${ends[0]}.log" &
    pids+=($!)
    cable_pids[${ends[0]%-qemu}]=$!
    for ((i = 0; i < 100; i++)); do
      grep -q 'nullmodem: ready' "$dir/nullmodem-${ends[0]}.log" 2>/dev/null && break
      sleep 0.1
    done
    [[ -e $dir/${ends[0]} ]] || die "nullmodem did not start: $(cat "$dir/nullmodem-${ends[0]}.log")"
  done

  # The console: the guest's lines to console.log, the host's through a pipe.
  mkfifo "$dir/console.in" "$dir/console.out"
  cat "$dir/console.out" >"$dir/console.log" &
  pids+=($!)
  qemu-system-x86_64 -machine pc,accel=tcg -m 256 -nographic -no-reboot -monitor none \
    -kernel "$work/vmlinux" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 quiet panic=-1 velcot.case=$name" \
    -chardev "pipe,id=console,path=$dir/console" -serial chardev:console \
    -chardev "serial,id=uart,path=$dir/uart-qemu" -serial chardev:uart \
    -usb -chardev "serial,id=ftdi,path=$dir/ftdi-qemu" -device usb-serial,chardev=ftdi \
    >"$dir/qemu.log" 2>&1 &
  qemu=$!
  pids+=($qemu)

  local host_pid status
  case $role in
    send)
      host_velcot "$dir/rx" rx "$port-host" "$rate"
      local receiver=$host_pid
      wait_for_console "ok sender's status" || failed "the guest's sender did not end well"
      kill -INT "$receiver"
      wait "$receiver" && status=0 || status=$?
      check "host receiver's status" 130 "$status"
      cmp -s "$work/data/$file" "$dir/rx/$file" || failed "$file arrived at the host damaged or not at all"
      mtime_check "$work/data/$file" "$dir/rx/$file"
      ;;
    receive)
      wait_for_console ready || failed "the guest's receiver did not start"
      local link=$port-host
      # *-rfc2217-*: the host reaches its end through ser2net, which sets
      # the speed velcot asks for on it.
      if [[ $name == *-rfc2217-* ]]; then
        printf '%s\n' '%YAML 1.1' --- 'connection: &host' \
          '  accepter: telnet(rfc2217),tcp,127.0.0.1,7421' \
          "  connector: serialdev,$dir/$link,9600n81,local" >"$dir/ser2net.yaml"
        ser2net -n -d -c "$dir/ser2net.yaml" 2>"$dir/ser2net.log" &
        pids+=($!)
        sleep 1
        link=rfc2217://127.0.0.1:7421
      fi
      host_velcot "$dir/tx" tx "$link" "$rate" "$work/data/$file"
      wait "$host_pid" && status=0 || status=$?
      check "host sender's status" 0 "$status"
      tell_guest "sent"
      ;;
    interrupt)
      wait_for_console ready || failed "the guest's receiver did not start"
      host_velcot "$dir/tx" tx "$port-host" "$rate" "$work/data/$file"
      local sender=$host_pid
      wait_for_console interrupted || failed "the guest's receiver was not interrupted"
      # The receiver's last words end the sender: within seconds, by itself.
      local ends=$((SECONDS + 10))
      while kill -0 "$sender" 2>/dev/null && ((SECONDS < ends)); do sleep 0.2; done
      kill -INT "$sender" 2>/dev/null && failed "the host sender went on after the receiver's Ctrl+C"
      wait "$sender" && status=0 || status=$?
      check "host sender's status" 2 "$status"
      grep -q 'the receiver was interrupted$' "$dir/tx.err" ||
        failed "the host sender did not say the receiver was interrupted: $(cat "$dir/tx.err")"
      sleep 1 # what QEMU and the cable still held arrives
      # Before Ctrl+C the guest's port had sent this much; since, at most
      # the answer velcot was writing when it was stopped (an ACK frame is
      # 20 bytes), and what arrives between echo going back on and the port
      # closing, which the driver echoes: a few milliseconds of the line
      # under the emulator, and on the FTDI chip a USB control transfer
      # more. Seen here, with the sender's data piled up: 0-89 bytes on the
      # 16550 and 0-70 on the FTDI chip; on the FTDI chip 295 when the
      # settings, echo with them, went back in one step.
      local allowed=300
      [[ $port == ftdi ]] && allowed=100
      local before after
      before=$(tr -d '\r' <"$dir/console.log" |
        sed -n 's/^@velcot interrupted; the port had sent \([0-9]*\)$/\1/p')
      after=$(sent_by_guest "$port")
      if [[ -z $before || -z $after ]]; then
        failed "no count of what the guest sent (guest: '$before', cable: '$after')"
      elif ((after - before > allowed)); then
        failed "$((after - before)) bytes sent back after Ctrl+C"
      else
        echo "$((after - before)) bytes sent after Ctrl+C" >"$dir/echo.log"
      fi
      tell_guest "stopped"
      ;;
  esac
  local limit=$((SECONDS + 300))
  while kill -0 "$qemu" 2>/dev/null && ((SECONDS < limit)); do sleep 0.2; done
  kill -0 "$qemu" 2>/dev/null && failed "the guest did not power off"
  stop_all
  grep -q '^@velcot end' "$dir/console.log" || failed "the guest did not finish its part"
  grep '^@velcot FAIL' "$dir/console.log" >>"$dir/host.log" || true
  if [[ -s $dir/host.log ]]; then
    echo "FAIL  $name"
    sed 's/^/      /' "$dir/host.log"
    echo "      guest's console ($dir/console.log):"
    grep -a '^@velcot\|^\[' "$dir/console.log" | tail -n 40 | sed 's/^/      | /'
    return 1
  fi
  echo "ok    $name ($(grep -c '^@velcot ok' "$dir/console.log") checks in the guest$(
    [[ -s $dir/echo.log ]] && echo "; $(cat "$dir/echo.log")"))"
}

command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 is missing"
extract_vmlinux
build_guest_programs
make_data
make_initramfs

passed=0
failed_cases=0
started=$SECONDS
for name in "${cases[@]}"; do
  if run_case "$name"; then
    passed=$((passed + 1))
  else
    failed_cases=$((failed_cases + 1))
  fi
done
echo "kernel suite: $((SECONDS - started)) s, kernel $kernel_version"
echo "$passed passed, $failed_cases failed"
((failed_cases == 0))
