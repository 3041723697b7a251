#!/usr/bin/env bash
# Checks that includes under src/ flow down the layers only:
#   velcot.cpp -> run/ -> protocols/<name>/ -> files/ -> base/ -> ports/
# A file may include files of its own folder and of any layer below it. The
# protocols stand side by side: none includes another, nor run/;
# protocols/velcot/legacy may include protocols/velcot/ (it is an older
# exchange of the same protocol). No loops between files, a header and its
# source counting as one file. Prints each fault; exits 1 if there is any.
#
#   bash tools/check-layers.sh [SOURCE_DIR]
set -uo pipefail
src=${1:-"$(dirname "${BASH_SOURCE[0]}")/../src"}
cd "$src" || exit 2

# The layer of a path named from src/: lower numbers are higher up.
LayerOf() {
  case $1 in
    run/*) echo 1 ;;
    protocols/*) echo 2 ;;
    files/*) echo 3 ;;
    base/*) echo 4 ;;
    ports/*) echo 5 ;;
    */*) echo 9 ;;  # a folder the order does not know
    *) echo 0 ;;    # the driver, at the top of src/
  esac
}

faults=0
Fault() {
  echo "check-layers: $1" >&2
  faults=$((faults + 1))
}

pairs=()
while IFS= read -r -d '' file; do
  from=${file#./}
  from_layer=$(LayerOf "$from")
  ((from_layer == 9)) && Fault "$from: in a folder outside the layers"
  from_dir=$(dirname "$from")
  while IFS= read -r to; do
    [[ -e $to ]] || { Fault "$from includes $to, which is not under src/"; continue; }
    to_layer=$(LayerOf "$to")
    to_dir=$(dirname "$to")
    pairs+=("${from%.*} ${to%.*}")
    if ((to_layer < from_layer)); then
      Fault "$from includes $to, a layer above it"
    elif ((from_layer == 2 && to_layer == 2)) && [[ $from_dir != "$to_dir" ]] &&
      ! [[ $from_dir == protocols/velcot/legacy && $to_dir == protocols/velcot ]]; then
      Fault "$from includes $to, another protocol"
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find . -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)

# A loop: tsort names the files on it. A file including its own header is
# no loop.
loops=$(for pair in "${pairs[@]}"; do
  read -r a b <<<"$pair"
  [[ $a == "$b" ]] || echo "$b $a"
done | tsort 2>&1 >/dev/null | sed -n 's/^tsort: \([^-].*\)/\1/p' | tr '\n' ' ')
[[ -z $loops ]] || Fault "includes run in a loop through $loops"

# A type a source file defines for itself lives in an anonymous namespace:
# two protocols' own "InFile" would otherwise be one type to the linker,
# which keeps one of their inline members for both. Only a type a header
# declares (a port's state) is defined at the top of a source file.
while IFS= read -r -d '' file; do
  while IFS= read -r type; do
    grep -Eqr --include='*.h' "^(struct|class) $type( |;|$)" . ||
      Fault "${file#./} defines $type outside an anonymous namespace"
  done < <(awk '/^namespace \{/ { anon = 1 } /^}  \/\/ namespace/ { anon = 0 }
    !anon && /^(struct|class) [A-Za-z_]+[^;]*\{/ { print $2 }' "$file")
done < <(find . -type f -name '*.cpp' -print0 | sort -z)

((faults == 0)) || exit 1
echo "check-layers: ${#pairs[@]} includes, all down the layers"
