#!/bin/bash
# The package installed as a user would, into a fresh Wine prefix made here, and taken out again.
# From the i686 build: a 32-bit Windows (the 32-bit codec in System32). From the x86_64 build: a
# 64-bit Windows, first with the 64-bit codec alone, then with both (the 32-bit one in SysWOW64,
# its registry values in the 32-bit view). The installed settings are never written by this test
# before its first capture; every capture must play back byte for byte.
# Environment: KESTRO_BUILD, KESTRO_OTHER_BUILD (both builds make the package), KESTRO_SOURCE.
made=package
set -euo pipefail
source "$(dirname "$0")/prelude.sh"

"$root/scripts/package.sh" "$scratch/dist" >/dev/null
pkg=$(echo "$scratch"/dist/kestro32-*/)
pkg=${pkg%/}
[ -d "$pkg/x86" ] && [ -d "$pkg/x64" ] || fail "package.sh made no package"
cp -r "$pkg" "$scratch/pristine"
# A host run from the package folder must use the installed codec, never the one beside it.
package_untouched() {
  diff -r "$scratch/pristine" "$pkg" >&2 || fail "the package folder changed: a host loaded its codec"
}

c="$WINEPREFIX/drive_c"
data="$c/users/Public/Videos/Kestro32"
windata='C:\users\Public\Videos\Kestro32'
drivers32='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
desc='HKLM\Software\Microsoft\Windows NT\CurrentVersion\drivers.desc'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

if [ "$arch" = i686 ]; then export WINEARCH=win32; regtool=$w32; else export WINEARCH=win64; regtool=$w64; fi
start=$SECONDS
"$regtool" wineboot -i >/dev/null 2>&1 || true
wineserver -w
echo "prefix made in $((SECONDS - start)) s"

ini_filename() { tr -d '\r' <"$1" | sed -n 's/^filename=//p'; }

# One build's view of the installed system: `sys` its system folder, `view` its registry view.
use_build() { # x86|x64
  build=$1
  if [ "$build" = x86 ]; then
    run=$w32 view=32 src=$i686 bits=32-bit
    if [ "$WINEARCH" = win64 ]; then sys="$c/windows/syswow64" winsys='C:\windows\syswow64'; else sys="$c/windows/system32" winsys='C:\windows\system32'; fi
  else
    run=$w64 view=64 src=$x86_64 bits=64-bit sys="$c/windows/system32" winsys='C:\windows\system32'
  fi
  host() { "$run" "$(win "$pkg/$build/kestro-host.exe")" "$@"; }
  installed_test() { "$run" "$(win "$src/tests/test_installed.exe")" "$@"; }
}

check_installed() {
  cmp "$pkg/$build/kestro32.dll" "$sys/kestro32.dll" || fail "$build: $sys/kestro32.dll is not the package's"
  cmp "$pkg/$build/kestro32.inf" "$c/windows/inf/kestro32-$build.inf" || fail "$build: INF not in the INF folder"
  [ -f "$sys/kestdisk.ini" ] || fail "$build: no kestdisk.ini beside the library"
  [ "$(reg_value $view "$drivers32" vidc.KEST)" = kestro32.dll ] || fail "$build: vidc.KEST not registered in the $view-bit view"
  [ "$(reg_value $view "$desc" kestro32.dll)" = "Kestro32 v${pkg##*kestro32-} capture codec ($bits)" ] ||
    fail "$build: drivers.desc: $(reg_value $view "$desc" kestro32.dll)"
  local key="$uninstall\\Kestro32-$build"
  [ "$(reg_value $view "$key" DisplayName)" = "Kestro32 video codec ($bits)" ] || fail "$build: DisplayName"
  [ "$(reg_value $view "$key" DisplayVersion)" = "${pkg##*kestro32-}" ] || fail "$build: DisplayVersion"
  [ "$(reg_value $view "$key" Publisher)" = "The Kestro32 team" ] || fail "$build: Publisher"
  [ "$(reg_value $view "$key" NoModify)" = 0x1 ] && [ "$(reg_value $view "$key" NoRepair)" = 0x1 ] || fail "$build: NoModify/NoRepair"
  [ "$(reg_value $view "$key" UninstallString)" = "$winsys\\rundll32.exe setupapi.dll,InstallHinfSection DefaultUninstall 132 C:\\windows\\inf\\kestro32-$build.inf" ] ||
    fail "$build: UninstallString $(reg_value $view "$key" UninstallString)"
  expect_rc 0 "$build: the codec manager loads the installed library" with_env KESTRO_INSTALLED_LIBRARY="$winsys\\kestro32.dll" \
    installed_test --gtest_filter='*LoadsTheInstalledLibrary'
}

check_removed() {
  [ ! -e "$sys/kestro32.dll" ] || fail "$build: $sys/kestro32.dll left behind"
  [ ! -e "$c/windows/inf/kestro32-$build.inf" ] || fail "$build: INF left behind"
  [ -z "$(reg_value $view "$drivers32" vidc.KEST)" ] || fail "$build: vidc.KEST left in the $view-bit view"
  [ -z "$(reg_value $view "$desc" kestro32.dll)" ] || fail "$build: drivers.desc value left"
  ! key_exists $view "$uninstall\\Kestro32-$build" || fail "$build: Uninstall key left"
}

# Captures the pattern with the settings as they are and plays it back through the codec.
capture_and_play() { # name
  host pattern --size 320x240 --frames 10 -o "$(win "$scratch/in.yuy2")"
  expect_rc 0 "$build: capture $1" host capture --input "$(win "$scratch/in.yuy2")" --size 320x240 -o "$windata\\$1.avi" -q
  expect_rc 0 "$build: play $1" host play "$windata\\$1.avi" --as yuy2 -o "$(win "$scratch/$1.yuy2")" -q
  cmp "$scratch/in.yuy2" "$scratch/$1.yuy2" || fail "$build: $1 does not play back as captured"
}

# The uninstall command of the list of installed programs, run as that list runs it.
programs_list_uninstall() {
  local command loader=$w64
  command=$(reg_value $view "$uninstall\\Kestro32-$build" UninstallString)
  [ -n "$command" ] || fail "$build: no UninstallString"
  case "$command" in *syswow64*|*SysWOW64*) loader=$w32 ;; esac
  [ "$WINEARCH" = win32 ] && loader=$w32
  # shellcheck disable=SC2086 # the command line is split as Windows splits it: no spaces in its paths
  $loader $command
}

if [ "$arch" = i686 ]; then
  use_build x86
  step "32-bit Windows: install as a user would (the INF, then kestro-host install)"
  "$w32" rundll32 setupapi.dll,InstallHinfSection DefaultInstall 132 "$(win "$pkg/x86")\\kestro32.inf"
  cmp "$pkg/x86/kestdisk.ini" "$sys/kestdisk.ini" || fail "the first settings file is not the package's"
  expect_rc 0 "kestro-host install" host install
  [ -d "$data" ] || fail "kestro-host install made no data folder"
  check_installed

  step "first capture with the installed settings"
  capture_and_play first
  [ -f "$data/take.000" ] || fail "the installed settings did not put the data file into $data"

  # (Wine's setup engine ignores the INF's per-file flags, so the INF alone would replace the
  # file here; on Windows COPYFLG_NO_OVERWRITE keeps it. kestro-host install keeps it on both.)
  step "the sheet stores a changed setting; a reinstall keeps it"
  expect_rc 0 "the sheet" with_env KESTRO_SHEET_FILENAME="$windata\\second" installed_test --gtest_filter='*Sheet*'
  expect_rc 0 "kestro-host install again" host install
  [ "$(ini_filename "$sys/kestdisk.ini")" = "$windata\\second" ] || fail "a reinstall lost the changed setting"
  capture_and_play second
  [ -f "$data/second.000" ] || fail "the changed setting did not reach the codec"
  sums=$(cd "$data" && md5sum first.avi take.000 second.avi second.000)

  step "uninstall from the list of installed programs"
  programs_list_uninstall
  check_removed
  [ "$(ini_filename "$sys/kestdisk.ini")" = "$windata\\second" ] || fail "the user's settings went with the codec"

  step "installed again, then kestro-host uninstall, which keeps the changed settings"
  expect_rc 0 "kestro-host install after the uninstall" host install
  check_installed
  expect_rc 0 "kestro-host uninstall" host uninstall
  expect_out "kept C:\\windows\\system32\\kestdisk.ini: it holds settings made after installing"
  check_removed
  expect_rc 2 "kestro-host uninstall of what is gone" host uninstall
  expect_err "is not installed"
  [ "$(ini_filename "$sys/kestdisk.ini")" = "$windata\\second" ] || fail "the user's settings went with the codec"
  [ "$(cd "$data" && md5sum first.avi take.000 second.avi second.000)" = "$sums" ] || fail "captures changed"
  package_untouched
  echo "install and uninstall on 32-bit Windows: ok"
  exit 0
fi

use_build x64
step "refusals before anything is installed"
expect_rc 2 "uninstall of what is not installed" host uninstall
expect_err "is not installed"
expect_rc 2 "a missing INF" host install --inf "$(win "$scratch/nowhere")\\kestro32.inf"
expect_err "there is no INF"
expect_rc 2 "the other build's INF" host install --inf "$(win "$pkg/x86")\\kestro32.inf"
expect_err "installs the other build"
cp "$pkg/x64/kestdisk.ini" "$scratch/notes.inf"
expect_rc 2 "a file that is no installer" host install --inf "$(win "$scratch")\\notes.inf"
[ ! -e "$sys/kestro32.dll" ] && [ ! -d "$data" ] && [ -z "$(reg_value 64 "$drivers32" vidc.KEST)" ] ||
  fail "a refused install changed something"

# Any user may make folders and links in Public Videos: a link where the data folder goes (Wine
# shows a Unix link to a folder as the reparse point a junction is) would hand users the folder it
# leads to. The install refuses before it changes anything.
step "a link in the data folder's place: kestro-host install refuses"
ln -s "$c/windows" "$data"
expect_rc 2 "install over a link" host install
expect_err "Kestro32 is a link (a junction or a symbolic link)"
[ ! -e "$sys/kestro32.dll" ] && [ -z "$(reg_value 64 "$drivers32" vidc.KEST)" ] ||
  fail "an install refused for a link changed something"
rm "$data"

step "64-bit Windows, the 64-bit codec alone: right-click Install's engine, then kestro-host install"
"$w64" rundll32 setupapi.dll,InstallHinfSection DefaultInstall 132 "$(win "$pkg/x64")\\kestro32.inf"
[ ! -e "$data" ] || fail "the INF alone touched the data folder, which an engine running as an administrator would reach through any link laid there"
expect_rc 0 "kestro-host install" host install
[ -d "$data" ] && [ ! -L "$data" ] || fail "kestro-host install made no data folder"
check_installed
[ ! -e "$c/windows/syswow64/kestro32.dll" ] && [ -z "$(reg_value 32 "$drivers32" vidc.KEST)" ] ||
  fail "the 64-bit INF reached what 32-bit programs read"
capture_and_play first64
installed_ini=$(cat "$sys/kestdisk.ini")

step "install over a newer build is refused"
cp "$sys/kestro32.dll" "$scratch/kestro32.dll.orig"
python3 - "$sys/kestro32.dll" <<'EOF'
import struct, sys
b = bytearray(open(sys.argv[1], "rb").read())
at = b.find(b"\xbd\x04\xef\xfe")  # VS_FIXEDFILEINFO: the file and product versions follow
assert at > 0
for field in (8, 16):
    struct.pack_into("<I", b, at + field, struct.unpack_from("<I", b, at + field)[0] + 1)
open(sys.argv[1], "wb").write(b)
EOF
cp "$sys/kestro32.dll" "$scratch/newer.dll"
expect_rc 2 "kestro-host install over a newer build" host install
expect_err "a newer Kestro32"
cmp "$scratch/newer.dll" "$sys/kestro32.dll" || fail "kestro-host install replaced a newer build"
"$w64" rundll32 setupapi.dll,InstallHinfSection DefaultInstall 132 "$(win "$pkg/x64")\\kestro32.inf"
cmp "$scratch/newer.dll" "$sys/kestro32.dll" || fail "the INF replaced a newer build"
cp "$scratch/kestro32.dll.orig" "$sys/kestro32.dll"

step "a read-only settings file is refused by install and by uninstall"
chmod a-w "$sys/kestdisk.ini"
expect_rc 2 "install with a read-only settings file" host install
expect_err "is read-only"
expect_rc 2 "uninstall with a read-only settings file" host uninstall
expect_err "is read-only"
[ -f "$sys/kestro32.dll" ] && [ -f "$c/windows/inf/kestro32-x64.inf" ] || fail "a refused uninstall removed something"
chmod u+w "$sys/kestdisk.ini"

step "settings naming a folder that does not exist: install says so"
printf '[general]\r\nfilename=%s\\gone\\take\r\n' "$(win "$scratch")" >"$sys/kestdisk.ini"
expect_rc 0 "install with a missing data folder" host install
expect_err "does not exist"
[ ! -e "$scratch/gone" ] || fail "install made a folder the user named"
printf '%s' "$installed_ini" >"$sys/kestdisk.ini"
check_installed

if [ $can32 = no ]; then
  echo "SKIP: the 64-bit codec passed; this system cannot start 32-bit programs for the rest"
  exit 77
fi

use_build x86
step "64-bit Windows with both: the 32-bit codec by kestro-host install alone"
expect_rc 0 "kestro-host install (32-bit)" host install
check_installed
cmp "$pkg/x86/kestdisk.ini" "$sys/kestdisk.ini" || fail "the 32-bit settings file is not the package's"
[ "$(reg_value 64 "$desc" kestro32.dll)" = "Kestro32 v${pkg##*kestro32-} capture codec (64-bit)" ] ||
  fail "the 32-bit INF reached the 64-bit view"
expect_rc 0 "the 32-bit sheet" with_env KESTRO_SHEET_FILENAME="$windata\\take32" installed_test --gtest_filter='*Sheet*'
[ "$(cat "$c/windows/system32/kestdisk.ini")" = "$installed_ini" ] || fail "the 32-bit sheet wrote the 64-bit settings"
capture_and_play first32
[ -f "$data/take32.000" ] || fail "the 32-bit codec did not use its changed setting"
expect_rc 0 "kestro-host install (32-bit) again" host install
[ "$(ini_filename "$sys/kestdisk.ini")" = "$windata\\take32" ] || fail "a reinstall lost the changed setting"
sums=$(cd "$data" && md5sum first64.avi take.000 first32.avi take32.000)

step "uninstalling the 32-bit codec from the list of installed programs leaves the 64-bit one working"
programs_list_uninstall
check_removed
use_build x64
check_installed
for capture in first64 first32; do
  expect_rc 0 "64-bit play of $capture" host play "$windata\\$capture.avi" --as yuy2 -o "$(win "$scratch/again.yuy2")" -q
  cmp "$scratch/in.yuy2" "$scratch/again.yuy2" || fail "$capture does not play through the 64-bit codec"
done

step "kestro-host uninstall of the 64-bit codec, whose settings are still the installed ones"
expect_rc 0 "kestro-host uninstall" host uninstall
expect_out "removed C:\\windows\\system32\\kestdisk.ini"
expect_out "kept C:\\Users\\Public\\Videos\\Kestro32 and the captures in it"
check_removed
[ ! -e "$sys/kestdisk.ini" ] || fail "the unchanged settings file stayed"
expect_rc 2 "a second uninstall" host uninstall
expect_err "is not installed"
use_build x86
check_removed
[ "$(ini_filename "$sys/kestdisk.ini")" = "$windata\\take32" ] || fail "the 32-bit user's settings went with the codec"
[ "$(cd "$data" && md5sum first64.avi take.000 first32.avi take32.000)" = "$sums" ] || fail "captures changed"
[ ! -e "$data/Kestro32-captures.txt" ] || fail "the INF's note stayed in the data folder"
package_untouched
echo "install and uninstall on 64-bit Windows, alone and with both builds: ok"
