#!/usr/bin/env bash
# Assembles the benchmark's corpus: the kinds of file people send over
# serial lines, from what every Debian machine has or from seeded
# generators, about 3.6 MiB in all (5.4 minutes at 115200 baud, 40 s at 921600).
#
#   bash bench/corpus.sh DIR
#
# Writes into DIR (made if missing; files already there are replaced):
#   syslog.log     256 KiB of syslog lines, generated
#   changes.txt    768 KiB of Debian changelogs (/usr/share/doc/*/changelog.Debian.gz)
#   headers.tar    an uncompressed tar of 384 KiB of C library headers (libc6-dev)
#   readings.csv   192 KiB of instrument readings: a timestamp and four slowly
#                  varying channels with noise, generated
#   firmware.hex   Intel HEX of /usr/bin/ls's code (objcopy -O ihex -j .text)
#   firmware.srec  the same as S-records (objcopy -O srec)
#   ls.elf         /usr/bin/ls itself (this machine's architecture)
#   libm-armhf.so  the 32-bit ARM libm of the cross toolchain, if installed
#   disk.img       a 768 KiB ext2 image, about half of it files (mke2fs -d)
#   lrzsz.deb      a Debian package (apt-get download, or one from apt's cache)
#   photo.jpg      a 640x480 picture, generated, as JPEG (cjpeg, quality 85)
#   random.bin     256 KiB of pseudo-random bytes, seeded
# The generated members (syslog.log, readings.csv, photo.jpg, random.bin) are
# the same bytes on every machine (Perl's rand, which is its own drand48 from
# Perl 5.20 on, with fixed seeds); the others are what this machine's
# packages hold, and disk.img holds generated members and headers.
# Installs libjpeg-turbo-progs (cjpeg) when missing.
set -euo pipefail

if (($# != 1)); then
  echo "usage: bench/corpus.sh DIR" >&2
  exit 2
fi
mkdir -p "$1"
dir=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! command -v cjpeg >/dev/null; then
  apt-get update -qq && apt-get install -y -qq libjpeg-turbo-progs >/dev/null
fi

# syslog lines: a clock that moves on by seconds, a few hosts and daemons,
# messages with numbers and addresses that change.
perl -e '
  srand(23); my $t = 1700000000; my $out = "";
  my @host = qw(gw1 logger sensor-07 sensor-12);
  my @month = qw(Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec);
  my @say = (
    sub { sprintf "kernel: [%d.%06d] usb 1-1.%d: new full-speed USB device number %d using dwc_otg",
      $t % 100000, int(rand 1e6), 1 + int(rand 4), 2 + int(rand 40) },
    sub { sprintf "sshd[%d]: Accepted publickey for pi from 192.168.%d.%d port %d ssh2: ED25519 SHA256:%s",
      1000 + int(rand 30000), int(rand 4), 2 + int(rand 250), 30000 + int(rand 35000),
      join("", map { ("A".."Z", "a".."z", 0..9)[rand 62] } 1..16) },
    sub { sprintf "CRON[%d]: (root) CMD (   cd / && run-parts --report /etc/cron.hourly)",
      1000 + int(rand 30000) },
    sub { sprintf "systemd[1]: Started session-%d.scope - Session %d of User pi.",
      int(rand 5000), int(rand 5000) },
    sub { sprintf "dhcpcd[%d]: eth0: leased 10.0.%d.%d for 86400 seconds", 300 + int(rand 200),
      int(rand 8), 2 + int(rand 250) },
    sub { sprintf "collector[%d]: channel %d: %d samples, mean %.3f V, min %.3f V, max %.3f V",
      700 + int(rand 10), int(rand 8), 600, 3.2 + rand 0.2, 3.1 + rand 0.1, 3.3 + rand 0.1 },
    sub { sprintf "kernel: [%d.%06d] ttyUSB0: usb_serial_generic_read_bulk_callback - urb stopped: -32",
      $t % 100000, int(rand 1e6) });
  while (length $out < 262144) {
    $t += int(rand 40); my @tm = gmtime $t;
    $out .= sprintf "%s %2d %02d:%02d:%02d %s %s\n", $month[$tm[4]], $tm[3], $tm[2], $tm[1],
      $tm[0], $host[rand @host], $say[rand @say]->();
  }
  print substr($out, 0, 262144);' >"$dir/syslog.log"

# Debian changelogs, in the order of their packages' names.
limit=$((768 * 1024))
: >"$dir/changes.txt"
while IFS= read -r -d '' log && (($(stat -c %s "$dir/changes.txt") < limit)); do
  zcat "$log" >>"$dir/changes.txt"
done < <(find /usr/share/doc -path '/usr/share/doc/*/changelog.Debian.gz' -print0 | LC_ALL=C sort -z)
if (($(stat -c %s "$dir/changes.txt") < limit)); then
  echo "corpus.sh: under 768 KiB of changelogs in /usr/share/doc" >&2
  exit 1
fi
truncate -s "$limit" "$dir/changes.txt"

# Whole headers of the C library, in order of path, as many as make 384 KiB
# of tar (a 512-byte header and whole 512-byte blocks each).
dpkg -L "libc6-dev:$(dpkg --print-architecture)" | grep '^/usr/include/.*\.h$' | LC_ALL=C sort | xargs stat -c '%n	%s' \
  >"$work/include.list"
awk -F'\t' -v limit=$((384 * 1024)) '{ size = 512 + int(($2 + 511) / 512) * 512 }
  total + size > limit { exit } { total += size; print substr($1, 2) }' \
  "$work/include.list" >"$work/headers.list"
tar -C / -cf "$dir/headers.tar" --format=ustar --sort=name --mtime=@0 --owner=0 \
  --group=0 --numeric-owner -T "$work/headers.list"

# Readings once a second: temperature, pressure, humidity and a supply
# voltage, each a slow drift plus noise, at a logger's precision.
perl -e '
  srand(7); my ($temp, $pres, $hum, $volt) = (21.5, 1013.2, 45.0, 12.10);
  my $out = "timestamp,temperature_c,pressure_hpa,humidity_pct,supply_v\n"; my $t = 1700000000;
  while (length $out < 196608) {
    $temp += (rand() - 0.5) * 0.02; $pres += (rand() - 0.5) * 0.05;
    $hum += (rand() - 0.5) * 0.1; $volt += (12.1 - $volt) * 0.01 + (rand() - 0.5) * 0.004;
    my @tm = gmtime $t++;
    $out .= sprintf "%04d-%02d-%02dT%02d:%02d:%02dZ,%.2f,%.1f,%.1f,%.3f\n", $tm[5] + 1900,
      $tm[4] + 1, $tm[3], $tm[2], $tm[1], $tm[0], $temp + (rand() - 0.5) * 0.1,
      $pres + (rand() - 0.5) * 0.2, $hum + (rand() - 0.5) * 0.4, $volt + (rand() - 0.5) * 0.01;
  }
  print substr($out, 0, rindex(substr($out, 0, 196608), "\n") + 1);' >"$dir/readings.csv"

# Run where they are written: the S-records' header holds the file's path.
(cd "$dir" && objcopy -O ihex -j .text /usr/bin/ls firmware.hex &&
  objcopy -O srec -j .text /usr/bin/ls firmware.srec)
cp /usr/bin/ls "$dir/ls.elf"
rm -f "$dir/libm-armhf.so"
if [[ -f /usr/arm-linux-gnueabihf/lib/libm.so.6 ]]; then
  cp /usr/arm-linux-gnueabihf/lib/libm.so.6 "$dir/libm-armhf.so"
fi

# A picture with smooth shading, edges and sensor noise, as a camera's
# would have, written as PPM and compressed by cjpeg.
perl -e '
  srand(11); my ($w, $h) = (640, 480); print "P6\n$w $h\n255\n";
  for my $y (0 .. $h - 1) {
    my $row = "";
    for my $x (0 .. $w - 1) {
      my $sky = $y < 200 + 30 * sin($x / 50);
      my $shade = 0.5 + 0.5 * sin($x / 97.0 + $y / 131.0) * cos($y / 53.0);
      my @c = $sky ? (90 + 60 * $shade, 140 + 50 * $shade, 220 - 20 * $shade)
                   : (70 + 90 * $shade, 110 + 70 * $shade, 40 + 30 * $shade);
      $row .= pack "C3", map { my $v = $_ + (rand() - 0.5) * 24; $v < 0 ? 0 : $v > 255 ? 255 : $v } @c;
    }
    print $row;
  }' >"$work/photo.ppm"
cjpeg -quality 85 -outfile "$dir/photo.jpg" "$work/photo.ppm"

perl -e 'srand(42); print pack("C*", map { int rand 256 } 1 .. 262144)' >"$dir/random.bin"

# An ext2 image with room to spare: fixed identifiers and times, files
# copied in with fixed times.
mkdir "$work/disk"
cp "$dir/syslog.log" "$work/disk/"
head -c $((64 * 1024)) "$dir/readings.csv" >"$work/disk/readings.csv"
head -c $((64 * 1024)) "$dir/headers.tar" >"$work/disk/include.tar"
find "$work/disk" -exec touch -h -d @1700000000 {} +
rm -f "$dir/disk.img"
E2FSPROGS_FAKE_TIME=1700000000 mke2fs -q -t ext2 -b 1024 -m 0 \
  -U 6c6f67c3-7365-4e73-8f72-6465626a7573 -E hash_seed=6c6f67c3-7365-4e73-8f72-6465626a7573,root_owner=0:0 \
  -d "$work/disk" "$dir/disk.img" 768 >/dev/null
# mke2fs copies each file's change time, which no one can set.
for file in "$work"/disk/*; do
  echo "set_inode_field /$(basename "$file") ctime 20231114221320"
done >"$work/ctimes"
debugfs -w -f "$work/ctimes" "$dir/disk.img" >/dev/null 2>&1

# A Debian package: lrzsz's, fetched, or any of 40-400 KiB in apt's cache.
rm -f "$dir/lrzsz.deb"
if (cd "$work" && apt-get download -qq lrzsz >/dev/null 2>&1); then
  mv "$work"/lrzsz_*.deb "$dir/lrzsz.deb"
else
  deb=$(find /var/cache/apt/archives -name '*.deb' -size +40k -size -400k | sort | head -n 1)
  [[ -n $deb ]] || { echo "corpus.sh: no .deb: apt-get download lrzsz failed" >&2; exit 1; }
  cp "$deb" "$dir/lrzsz.deb"
fi

members=("$dir"/*)
echo "corpus.sh: ${#members[@]} files, $(cat "${members[@]}" | wc -c) bytes in $dir" >&2
