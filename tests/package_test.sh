#!/usr/bin/env bash
# Installs a built velcot into a scratch prefix and packs it, then checks
# what a user would get: the program, its manual page, and a Debian package
# that declares what the program links against.
#
#   package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# ---- cmake --install ----
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
[[ -x $scratch/prefix/bin/velcot ]] || fail "no bin/velcot"
[[ -f $scratch/prefix/share/man/man1/velcot.1 ]] || fail "no share/man/man1/velcot.1"
"$scratch/prefix/bin/velcot" -h >"$scratch/installed.txt" || fail "installed velcot -h failed"
"$build/velcot" -h >"$scratch/built.txt"
cmp -s "$scratch/installed.txt" "$scratch/built.txt" || fail "installed help differs"

# The manual page renders without a single warning from groff.
if ! groff -man -Tutf8 -ww -z "$source/doc/velcot.1" 2>"$scratch/groff.txt" ||
  [[ -s $scratch/groff.txt ]]; then
  cat "$scratch/groff.txt" >&2
  fail "groff warns about doc/velcot.1"
fi

# ---- the Debian package ----
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[[ -n $version ]] || fail "no version in CPackConfig.cmake"
(cd "$scratch" && cpack -G DEB -B "$scratch/pkg" --config "$build/CPackConfig.cmake") \
  >"$scratch/cpack.txt" 2>&1 || { cat "$scratch/cpack.txt" >&2; fail "cpack failed"; }
deb=$scratch/pkg/velcot_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || fail "no $(basename "$deb"); made: $(ls "$scratch/pkg")"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libc6* ]] || fail "Depends lacks libc6: $depends"
[[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "package version"
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/velcot ./usr/share/man/man1/velcot.1; do
  grep -q " $path\$" <<<"$contents" || fail "package lacks $path"
done
# Unpacked, the packaged program is the program.
dpkg-deb -x "$deb" "$scratch/root"
"$scratch/root/usr/bin/velcot" -h | cmp -s - "$scratch/built.txt" || fail "packaged help differs"
echo "installed and packaged: $(basename "$deb"), Depends: $depends"
