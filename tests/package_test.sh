#!/usr/bin/env bash
# Installs a built velcot into a scratch prefix and packs it, then checks
# what a user would get: the program, its manual page, and a Debian package
# that declares what the program links against; or, given a cross build for
# Windows, the zip a Windows user unpacks, and that its program starts on
# Windows XP SP3.
#
#   package_test.sh BUILD_DIR SOURCE_DIR
#   package_test.sh --zip WIN32_BUILD_DIR
set -euo pipefail
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Packs with cpack: pack GENERATOR BUILD_DIR
pack() {
  (cd "$scratch" && cpack -G "$1" -B "$scratch/pkg" --config "$2/CPackConfig.cmake") \
    >"$scratch/cpack.txt" 2>&1 || { cat "$scratch/cpack.txt" >&2; fail "cpack failed"; }
}

# XP's loader starts a program only if its PE header asks for no newer
# system than 5.1 and XP's DLLs export every function it imports: nothing
# to install beside it, and nothing from a later Windows.
check_windows_xp() {  # check_windows_xp EXE
  local headers field version refused
  headers=$(i686-w64-mingw32-objdump -p "$1")
  for field in OSystem Subsystem; do
    version=$(awk -v f="$field" '$1 == "Major" f "Version" { major = $2 }
      $1 == "Minor" f "Version" { minor = $2 } END { print major * 100 + minor }' <<<"$headers")
    ((version > 0 && version <= 501)) || fail "velcot.exe asks for $field version $version"
  done
  # DLL and function of each import, DLL names in lower case.
  awk '/^[^ \t]/ { dll = "" } /^\tDLL Name: / { dll = tolower($3); next }
    dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print dll, $3 }' \
    <<<"$headers" | sort -u >"$scratch/imports.txt"
  [[ -s $scratch/imports.txt ]] || fail "no imports read from velcot.exe"
  awk '!/^#/ && NF == 2 { print tolower($1), $2 }' "$(dirname "$0")/windows_xp_exports.txt" |
    sort -u >"$scratch/xp.txt"
  refused=$(comm -23 "$scratch/imports.txt" "$scratch/xp.txt" | tr '\n' ' ')
  [[ -z $refused ]] || fail "velcot.exe imports what Windows XP SP3 lacks: $refused"
}

version_of() {  # version_of BUILD_DIR
  sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$1/CPackConfig.cmake"
}

if [[ $1 == --zip ]]; then
  build=$(realpath "$2")
  name=velcot-$(version_of "$build")-win32
  pack ZIP "$build"
  [[ -f $scratch/pkg/$name.zip ]] || fail "no $name.zip; made: $(ls "$scratch/pkg")"
  (cd "$scratch" && cmake -E tar xf "pkg/$name.zip")
  for file in velcot.exe README.txt velcot.1; do
    [[ -s $scratch/$name/$file ]] || fail "$name.zip lacks $name/$file"
  done
  kind=$(file -b "$scratch/$name/velcot.exe")
  [[ $kind == "PE32 executable (console) Intel 80386"* ]] || fail "velcot.exe is $kind"
  check_windows_xp "$scratch/$name/velcot.exe"
  grep -q "velcot -p COM" "$scratch/$name/README.txt" || fail "README.txt has no example"
  echo "packed: $name.zip with $(ls "$scratch/$name" | tr '\n' ' ');" \
    "velcot.exe imports $(wc -l <"$scratch/imports.txt") functions XP has"
  exit 0
fi

build=$(realpath "$1")
source=$(realpath "$2")

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
version=$(version_of "$build")
[[ -n $version ]] || fail "no version in CPackConfig.cmake"
pack DEB "$build"
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
