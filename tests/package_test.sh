#!/usr/bin/env bash
# Installs a built velcot into a scratch prefix and packs it, then checks
# what a user would get: the program, its manual page, its bash completion,
# and a Debian package that lintian passes and that declares what the
# program links against; or, given a cross build for Windows, the zip a
# Windows user unpacks, and that its program starts on Windows XP SP3.
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
  for file in velcot.exe README.txt LICENSE.txt velcot.1; do
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
completion=share/bash-completion/completions/velcot
for path in bin/velcot share/man/man1/velcot.1.gz share/doc/velcot/copyright \
  share/doc/velcot/changelog.gz $completion; do
  [[ -f $scratch/prefix/$path ]] || fail "no $path"
done
"$scratch/prefix/bin/velcot" -h >"$scratch/installed.txt" || fail "installed velcot -h failed"
"$build/velcot" -h >"$scratch/built.txt"
cmp -s "$scratch/installed.txt" "$scratch/built.txt" || fail "installed help differs"

# The manual page renders without a single warning from groff.
if ! groff -man -Tutf8 -ww -z "$build/velcot.1" 2>"$scratch/groff.txt" ||
  [[ -s $scratch/groff.txt ]]; then
  cat "$scratch/groff.txt" >&2
  fail "groff warns about velcot.1"
fi

# The completion offers what each option takes. Cases: the words typed, the
# last one being completed, then what is offered (nothing: readline
# completes file names).
dev=$scratch/dev
mkdir -p "$dev/serial/by-id"
touch "$dev"/{ttyS200,ttyUSB0,ttyACM1,null,serial/by-id/usb-FTDI_A502-if00-port0}
completion_cases=(
  "velcot -p |$dev/serial/by-id/usb-FTDI_A502-if00-port0 $dev/ttyUSB0 $dev/ttyACM1 $dev/ttyS200"
  "velcot a.txt -p $dev/ttyA|$dev/ttyACM1"
  "velcot -b 11|115200"
  "velcot -m 8N1 -m 8|8N1 8E1 8O1 8N2 8E2 8O2"
  "velcot -m 7|"
  "velcot -p -b |"
  "velcot -b 9600 |"
  "velcot -|-p -b -m --protocol -o --flow --dtr --rts --start --existing --escape-all -h --help --version --"
  "velcot --existing r|replace rename"
  "velcot --f|--flow"
  "velcot --flow |none rtscts xonxoff"
  "velcot --rts o|on off"
  "velcot -- -|"
)
for case in "${completion_cases[@]}"; do
  typed=${case%|*}
  # shellcheck disable=SC2086  # the words before the last, split
  offered=$(VELCOT_COMPLETION_DEV=$dev bash -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _velcot; echo "${COMPREPLY[*]}"
  ' - "$scratch/prefix/$completion" ${typed% *} "${typed##* }" 2>&1)
  [[ $offered == "${case#*|}" ]] || fail "completing '$typed' offered '$offered'"
done

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
for path in ./usr/bin/velcot ./usr/share/man/man1/velcot.1.gz ./usr/share/doc/velcot/copyright \
  ./usr/share/doc/velcot/changelog.gz ./usr/$completion; do
  grep -q " $path\$" <<<"$contents" || fail "package lacks $path"
done
# Unpacked, the packaged program is the program.
dpkg-deb -x "$deb" "$scratch/root"
"$scratch/root/usr/bin/velcot" -h | cmp -s - "$scratch/built.txt" || fail "packaged help differs"
# The license's terms, word for word.
terms=$(sed -n '/^Permission/,$p' "$source/LICENSE")
[[ -n $terms ]] || fail "LICENSE has no terms"
sed -n '/^ Permission/,$s/^ \.\{0,1\}//p' "$scratch/root/usr/share/doc/velcot/copyright" |
  cmp -s - <(echo "$terms") || fail "the package's copyright file lacks the license's terms"
# The package, the help text and the manual page give one web address.
homepage=$(dpkg-deb -f "$deb" Homepage)
[[ $homepage == http* ]] || fail "no Homepage: $homepage"
grep -qF "(URL:$homepage)." "$scratch/built.txt" || fail "the help text does not give $homepage"
zcat "$scratch/root/usr/share/man/man1/velcot.1.gz" | grep -qxF ".UR $homepage" ||
  fail "the manual page does not give $homepage"

# lintian (Debian's package checker) finds nothing to warn about.
command -v lintian >/dev/null || fail "lintian is not installed (tools/setup.sh installs it)"
lintian --fail-on error,warning "$deb" >"$scratch/lintian.txt" 2>&1 || {
  cat "$scratch/lintian.txt" >&2
  fail "lintian: $(grep -c '^[EW]:' "$scratch/lintian.txt") errors and warnings"
}
echo "installed and packaged: $(basename "$deb"), Depends: $depends"
