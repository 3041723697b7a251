#!/usr/bin/env bash
# Records the bytes two velcot builds put on the line, each way, for a fixed
# set of exchanges, and prints one row per exchange with a digest of each
# direction: run it with the builds before a change and again with the
# builds after it, and compare the rows. A change that leaves the wire as
# it was gives the same digests.
#
#   bash bench/wire.sh SENDER RECEIVER [EXCHANGE...]
#
# SENDER and RECEIVER are paths of Linux velcot programs (the same one
# twice for a build against itself). Exchanges (default: all):
#   classic   six files, empty to 300 KB, in the classic exchange
#             (VELCOT_CLASSIC=1 at the sender)
#   session   the same six files between two velcots: one compressed
#             session, files back to back
#   folders   a folder of files and subfolders, then a file resumed from a
#             kept part the receiver holds
#   small     three files of up to 7 KB, for the exchange of one file that
#             a velcot of release 1.0 speaks (give one as SENDER or
#             RECEIVER)
# The line is a pair of pseudo-terminals joined by socat, unpaced, which
# dumps what crosses it. Files, names, times and modes are the same in
# every run, so only the programs can make the bytes differ; timing can
# only where the exchange itself follows the clock (a frame size that
# grows with the measured rate in the exchange of one file), which the
# small files keep clear of. Columns: exchange, both exit statuses, copies
# right, bytes and SHA-256 (first 16 digits) sender to receiver, then
# receiver to sender. A session cuts its compressed stream into segments as
# the clock says (the segment size follows the measured rate), so for
# "session" and "folders" the digest is of what the segments carry, not how
# they were cut: the bytes before the first frame, every frame but segments
# ('d'), states ('k') and asks ('w') with its payload, and the compressed
# stream put together from the segments. KEEP=DIR keeps the recordings there (EXCHANGE.ab,
# EXCHANGE.ba), for cmp to say where two runs part.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
sender=$(realpath "$1")
receiver=$(realpath "$2")
shift 2
exchanges=("$@")
((${#exchanges[@]})) || exchanges=(classic session folders small)

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

# Files of fixed bytes and a fixed time: the same in every run.
when=1700000000
make_files() {  # make_files DIR
  mkdir -p "$1"
  python3 - "$1" <<'EOF'
import os, random, sys
d = sys.argv[1]
rng = random.Random(22)
words = [bytes(rng.choice(b"etaoinshrdlu") for _ in range(rng.randint(2, 9))) for _ in range(400)]
text = b" ".join(rng.choice(words) for _ in range(40000))
files = {
    "empty.bin": b"",
    "one.bin": b"x",
    "block.bin": bytes(rng.getrandbits(8) for _ in range(1024)),
    "text.txt": text[:102400],
    "zeros.bin": bytes(65536),
    "random.bin": bytes(rng.getrandbits(8) for _ in range(307200)),
    "small1.txt": text[:7000],
    "small2.bin": bytes(rng.getrandbits(8) for _ in range(3000)),
    "tree/a.txt": text[5000:25000],
    "tree/sub/b.bin": bytes(rng.getrandbits(8) for _ in range(20000)),
    "tree/sub/c.txt": text[:300],
    "tree/empty/": None,
    "big.bin": bytes(rng.getrandbits(8) for _ in range(200000)),
}
for name, data in files.items():
    path = os.path.join(d, name)
    if data is None:
        os.makedirs(path, exist_ok=True)
        continue
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
EOF
  chmod -R u=rwX,go=rX "$1"
  find "$1" -depth -exec touch -h -d "@$when" {} +
}

# A kept part of big.bin's first 100000 bytes in DIR, as a receiver cut
# off there keeps it (name: FNV-1a of the received path, size, time).
plant_part() {  # plant_part DIR
  python3 - "$1" "$scratch/tx/big.bin" "$when" <<'EOF'
import os, sys
d, source, when = sys.argv[1], sys.argv[2], int(sys.argv[3])
h = 0xcbf29ce484222325
for b in b"big.bin":
    h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
data = open(source, "rb").read()
name = ".velcot-%016x-%016x-%016x.part" % (h, len(data), when)
path = os.path.join(d, name)
with open(path, "wb") as f:
    f.write(data[:100000])
os.chmod(path, 0o600)
EOF
}

make_files "$scratch/tx"

digest() {
  printf '%s %s' "$(stat -c %s "$1")" "$(sha256sum "$1" | cut -c1-16)"
}
# What a session's frames carry, in a file: see above.
reassemble() {  # reassemble RECORDING OUT
  python3 - "$1" "$2" <<'EOF'
import sys
data = open(sys.argv[1], "rb").read()
out, stream, at, first = [], bytearray(), 0, None
while at + 8 <= len(data):
    if data[at:at + 2] != b"\xf3\x5c":
        at += 1
        continue
    kind, sequence = data[at + 2], data[at + 3]
    length = int.from_bytes(data[at + 4:at + 6], "big")
    payload = data[at + 8:at + 8 + length]
    if len(payload) < length:
        break
    if first is None:
        first = at
    if kind == ord("d"):
        offset = int.from_bytes(payload[:4], "big")
        piece = payload[4:]
        if len(stream) < offset + len(piece):
            stream.extend(bytes(offset + len(piece) - len(stream)))
        stream[offset:offset + len(piece)] = piece
    elif kind not in (ord("k"), ord("w")):
        out.append(bytes([kind, sequence]) + payload)
    at += 8 + length + 4
with open(sys.argv[2], "wb") as f:
    f.write(data[:first or 0] + b"".join(out) + bytes(stream))
EOF
}


for exchange in "${exchanges[@]}"; do
  tx_env=()
  case $exchange in
    classic)
      files=(empty.bin one.bin block.bin text.txt zeros.bin random.bin)
      tx_env=(VELCOT_CLASSIC=1)
      ;;
    session) files=(empty.bin one.bin block.bin text.txt zeros.bin random.bin) ;;
    folders) files=(tree big.bin) ;;
    small) files=(small1.txt small2.bin one.bin) ;;
    *)
      echo "wire.sh: unknown exchange $exchange" >&2
      exit 1
      ;;
  esac
  run=$scratch/$exchange
  mkdir -p "$run/rx"
  [[ $exchange == folders ]] && plant_part "$run/rx"
  socat -r "$run/ab" -R "$run/ba" "PTY,link=$run/A,raw,echo=0" "PTY,link=$run/B,raw,echo=0" \
    2>"$run/socat.log" &
  pids+=($!)
  for _ in $(seq 50); do [[ -e $run/A && -e $run/B ]] && break; sleep 0.1; done
  (cd "$run/rx" && exec timeout 120 "$receiver" -p "$run/B" -b 115200 >"$run/rx.out" 2>"$run/rx.err") &
  rx_pid=$!
  pids+=("$rx_pid")
  sleep 0.5
  (cd "$scratch/tx" && exec env "${tx_env[@]}" timeout 120 "$sender" -p "$run/A" -b 115200 \
    "${files[@]}" >"$run/tx.out" 2>"$run/tx.err")
  tx_status=$?
  sleep 1
  kill -INT "$rx_pid" 2>/dev/null
  wait "$rx_pid"
  rx_status=$?
  kill "${pids[@]}" 2>/dev/null
  wait 2>/dev/null
  pids=()
  right=$(cd "$scratch/tx" && find "${files[@]}" -type f | while read -r f; do
    cmp -s "$f" "$run/rx/$f" && echo ok
  done | wc -l)
  total=$(cd "$scratch/tx" && find "${files[@]}" -type f | wc -l)
  if [[ $exchange == session || $exchange == folders ]]; then
    reassemble "$run/ab" "$run/ab.carried" && mv "$run/ab.carried" "$run/ab"
    reassemble "$run/ba" "$run/ba.carried" && mv "$run/ba.carried" "$run/ba"
  fi
  if [[ -n ${KEEP:-} ]]; then
    mkdir -p "$KEEP"
    cp "$run/ab" "$KEEP/$exchange.ab"
    cp "$run/ba" "$KEEP/$exchange.ba"
  fi
  printf '| %s | %s | %s | %s/%s | %s | %s |\n' "$exchange" "$tx_status" "$rx_status" "$right" \
    "$total" "$(digest "$run/ab")" "$(digest "$run/ba")"
done
