#!/usr/bin/env bash
# Measures a folder sent between velcots against the same folder as a
# tarball, over the paced cable (build/nullmodem) at 115200 baud:
#   velcot TREE                         the folder as a folder
#   tar cf t.tar TREE && velcot t.tar   the tarball through velcot (tar's time counted)
#   sz/rz of the tarball                ZMODEM beside them
# TREE holds 1000 text-like files of 200 to 2000 bytes in 20 folders,
# generated with a fixed seed. Each row checks what arrived.
#
#   bash bench/folders.sh [RUNS]     (RUNS per row, default 1; the median is printed)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-1}
baud=115200
bash "$repo/tools/setup.sh" --bench velcot nullmodem
scratch=$(mktemp -d)
cable=
cleanup() {
  [[ -n $cable ]] && kill "$cable" 2>/dev/null && wait "$cable" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

# 20 folders of 50 files: lines of an instrument's log, each file its own.
mkdir -p "$scratch/tx"
(cd "$scratch/tx" && perl -e '
  srand(7);
  for my $f (0 .. 19) {
    my $dir = sprintf "tree/site-%02d", $f;
    mkdir "tree"; mkdir $dir;
    for my $n (0 .. 49) {
      my $size = 200 + int(rand 1801); my $out = "";
      while (length $out < $size) {
        $out .= sprintf "2024-05-%02d %02d:%02d:%02d ch%d %.3f V %s\n", 1 + $n % 28,
          int(rand 24), int(rand 60), int(rand 60), int(rand 8), 3 + rand 0.4,
          (qw(ok ok ok warn low))[rand 5];
      }
      open my $fh, ">", sprintf("%s/log-%03d.txt", $dir, $n) or die;
      print $fh substr($out, 0, $size);
    }
  }')
bytes=$(find "$scratch/tx/tree" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')

now() { date +%s.%N; }

# run ROW: the seconds from the sender's start to its end.
run() {
  rm -rf "$scratch/rx" "$scratch/tx/t.tar" && mkdir "$scratch/rx"
  "$repo/build/nullmodem" -b "$baud" "$scratch/A" "$scratch/B" 2>"$scratch/cable.log" &
  cable=$!
  while ! grep -q . "$scratch/cable.log" 2>/dev/null; do sleep 0.05; done
  if [[ $1 == zmodem ]]; then
    (cd "$scratch/rx" && rz -b -y -q <"$scratch/B" >"$scratch/B") 2>/dev/null &
  else
    (cd "$scratch/rx" && "$repo/build/velcot" -p "$scratch/B" -b "$baud") >/dev/null 2>&1 &
  fi
  local receiver=$! started ended
  sleep 0.3
  started=$(now)
  (cd "$scratch/tx" && case $1 in
    tree) "$repo/build/velcot" -p "$scratch/A" -b "$baud" tree ;;
    tarball) tar cf t.tar tree && "$repo/build/velcot" -p "$scratch/A" -b "$baud" t.tar ;;
    zmodem) tar cf t.tar tree && sz -b -q t.tar <"$scratch/A" >"$scratch/A" ;;
  esac) >/dev/null 2>"$scratch/tx.err"
  ended=$(now)
  [[ $1 == zmodem ]] && wait "$receiver" 2>/dev/null
  kill "$cable" && wait "$cable" 2>/dev/null || true
  cable=
  wait "$receiver" 2>/dev/null || true
  if [[ $1 == tree ]]; then
    diff -r "$scratch/tx/tree" "$scratch/rx/tree" >&2
  else
    cmp "$scratch/tx/t.tar" "$scratch/rx/t.tar" >&2
  fi
  awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.1f\n", b - a }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "1000 files, $bytes bytes, in 20 folders; $baud baud over build/nullmodem; $runs run(s) each"
printf '%-34s %8s %10s\n' row seconds "x tree"
tree=$(for ((i = 0; i < runs; i++)); do run tree; done | median)
for row in tree tarball zmodem; do
  case $row in
    tree) seconds=$tree label="velcot tree" ;;
    tarball) seconds=$(for ((i = 0; i < runs; i++)); do run tarball; done | median)
      label="tar cf t.tar tree && velcot t.tar" ;;
    zmodem) seconds=$(for ((i = 0; i < runs; i++)); do run zmodem; done | median)
      label="tar cf, sz t.tar / rz" ;;
  esac
  printf '%-34s %8s %10s\n' "$label" "$seconds" "$(awk -v a="$seconds" -v b="$tree" 'BEGIN { printf "%.2f", a / b }')"
done
