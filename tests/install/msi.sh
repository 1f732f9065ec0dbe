#!/bin/bash
# The one installer, kestro32-VERSION.msi, in a fresh Wine prefix made here: 32-bit Windows from
# the i686 build, 64-bit Windows from the x86_64 build. First the previous release is installed
# as its README said (the INF, then kestro-host install, per build) and a setting is changed in
# the sheet; then, all silent: the installer over it, a repair, an upgrade to a newer installer, and
# the uninstall. After the
# install each build's codec is found by the codec manager of its bitness, kestro-host runs from
# PATH, captures with the installed settings play byte for byte in both bitnesses, and the
# changed setting is still there; after the uninstall no library, INF, registry value, Apps
# entry, program file or PATH entry is left, only the changed settings file, and every capture is
# as it was.
# Environment: KESTRO_BUILD, KESTRO_OTHER_BUILD (both builds make the package), KESTRO_SOURCE.
made=installer
set -euo pipefail
source "$(dirname "$0")/prelude.sh"

"$root/scripts/package.sh" "$scratch/dist" >/dev/null
pkg=$(echo "$scratch"/dist/kestro32-*/)
pkg=${pkg%/}
version=${pkg##*kestro32-}
msi="$pkg.msi"
[ -f "$msi" ] || fail "package.sh made no installer"
code=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')
[ -n "$code" ] || fail "the installer has no product code"

# Without 32-bit programs the 32-bit kestro-host cannot install its codec: a copy of the installer
# without those two actions shows the 64-bit half, and the test ends as skipped.
if [ $can32 = no ]; then
  cp "$msi" "$scratch/x64-only.msi"
  msi="$scratch/x64-only.msi"
  # One row a query: msibuild's DELETE with OR removes rows it was not given.
  msibuild "$msi" -q "DELETE FROM \`InstallExecuteSequence\` WHERE \`Action\` = 'InstallCodecX86'" \
    -q "DELETE FROM \`InstallExecuteSequence\` WHERE \`Action\` = 'UninstallCodecX86'"
  diff <(msiinfo export "$pkg.msi" InstallExecuteSequence | grep -v CodecX86) \
    <(msiinfo export "$msi" InstallExecuteSequence) >&2 || fail "the 64-bit copy of the installer lost more than its 32-bit actions"
fi

# The previous release, unpacked once from tests/inputs and shared by both builds' runs of this test.
previous_dir="$(dirname "$KESTRO_BUILD")/previous-release"
mkdir -p "$previous_dir"
previous=$(flock "$previous_dir.lock" "$root/tests/install/previous-release.sh" "$root" "$previous_dir/0.4.0")

c="$WINEPREFIX/drive_c"
data="$c/users/Public/Videos/Kestro32"
windata='C:\users\Public\Videos\Kestro32'
drivers32='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
desc='HKLM\Software\Microsoft\Windows NT\CurrentVersion\drivers.desc'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'

if [ "$arch" = i686 ]; then
  export WINEARCH=win32 regtool=$w32 builds="x86" programs="$c/Program Files/Kestro32"
  winprograms='C:\Program Files\Kestro32'
else
  export WINEARCH=win64 regtool=$w64 builds="x64 x86" programs="$c/Program Files (x86)/Kestro32"
  [ $can32 = yes ] || builds=x64
  winprograms='C:\Program Files (x86)\Kestro32'
fi
start=$SECONDS
"$regtool" wineboot -i >/dev/null 2>&1 || true
wineserver -w
echo "prefix made in $((SECONDS - start)) s"

ini_filename() { tr -d '\r' <"$1" | sed -n 's/^filename=//p'; }

use_build() { # x86|x64
  build=$1
  if [ "$build" = x86 ]; then
    run=$w32 view=32 src=$i686 bits=32-bit
    if [ "$WINEARCH" = win64 ]; then sys="$c/windows/syswow64" winsys='C:\windows\syswow64'; else sys="$c/windows/system32" winsys='C:\windows\system32'; fi
  else
    run=$w64 view=64 src=$x86_64 bits=64-bit sys="$c/windows/system32" winsys='C:\windows\system32'
  fi
  installed_test() { "$run" "$(win "$src/tests/test_installed.exe")" "$@"; }
}
# The kestro-host the installer put under Program Files, and the previous release's.
host() { "$run" "$winprograms\\$build\\kestro-host.exe" "$@"; }
old_host() { "$run" "$(win "$previous/$build/kestro-host.exe")" "$@"; }

capture_and_play() { # host-function name [capture options]
  local h=$1 name=$2
  shift 2
  "$h" pattern --size 320x240 --frames 10 -o "$(win "$scratch/in.yuy2")"
  expect_rc 0 "$build: capture $name" "$h" capture --input "$(win "$scratch/in.yuy2")" --size 320x240 -o "$windata\\$name.avi" -q "$@"
  expect_rc 0 "$build: play $name" "$h" play "$windata\\$name.avi" --as yuy2 -o "$(win "$scratch/$name.yuy2")" -q
  cmp "$scratch/in.yuy2" "$scratch/$name.yuy2" || fail "$build: $name does not play back as captured"
}

msiexec() { # what msiexec-arguments...: silent, with a log shown on failure
  local what=$1 rc=0; shift
  "$regtool" msiexec "$@" /qn /l*v "$(win "$scratch/msi.log")" || rc=$?
  wineserver -w
  [ "$rc" = 0 ] || { tr -d "\0\r" <"$scratch/msi.log" 2>/dev/null | tail -40 >&2 || true; fail "$what: msiexec exit $rc"; }
}

step "the previous release ($(basename "$previous")), installed by hand as its README said"
for b in $builds; do
  use_build $b
  "$run" rundll32 setupapi.dll,InstallHinfSection DefaultInstall 132 "$(win "$previous/$b")\\kestro32.inf"
  expect_rc 0 "$b: the previous kestro-host install" old_host install
  [ -n "$(reg_value $view "$drivers32" vidc.KEST)" ] || fail "$b: the previous release did not install"
done
first=${builds%% *}
use_build "$first"
expect_rc 0 "$first: the sheet changes the data file" \
  with_env KESTRO_SHEET_FILENAME="$windata\\kept" installed_test --gtest_filter='*Sheet*'
capture_and_play old_host before
[ -f "$data/kept.000" ] || fail "the changed setting did not reach the previous release's codec"

step "silent install of $(basename "$msi") over it"
msiexec "install" /i "$(win "$msi")"
for b in $builds; do
  use_build $b
  cmp "$pkg/$b/kestro32.dll" "$sys/kestro32.dll" || fail "$b: $sys/kestro32.dll is not the installer's"
  cmp "$pkg/$b/kestro32.inf" "$c/windows/inf/kestro32-$b.inf" || fail "$b: INF not in the INF folder"
  cmp "$pkg/$b/kestro-host.exe" "$programs/$b/kestro-host.exe" || fail "$b: kestro-host not under Program Files"
  [ "$(reg_value $view "$drivers32" vidc.KEST)" = kestro32.dll ] || fail "$b: vidc.KEST not in the $view-bit view"
  [ "$(reg_value $view "$desc" kestro32.dll)" = "Kestro32 v$version capture codec ($bits)" ] || fail "$b: drivers.desc"
  ! key_exists $view "$uninstall\\Kestro32-$b" || fail "$b: the INF's own Apps entry is still there"
  expect_rc 0 "$b: the codec manager of $bits programs loads the installed library" \
    with_env KESTRO_INSTALLED_LIBRARY="$winsys\\kestro32.dll" installed_test --gtest_filter='*LoadsTheInstalledLibrary'
done
[ "$(reg_value 32 "$uninstall\\$code" DisplayName)" = "Kestro32 video codec" ] || fail "no Apps entry $code"
[ "$(reg_value 32 "$uninstall\\$code" DisplayVersion)" = "$version" ] || fail "Apps entry: DisplayVersion"
use_build "$first"
[ "$(ini_filename "$sys/kestdisk.ini")" = "$windata\\kept" ] || fail "the installer lost the changed setting"
# Windows Installer puts a per-machine package's entries into the Start menu of all users; Wine's
# into the installing user's.
menu="$c/ProgramData/Microsoft/Windows/Start Menu/Programs/Kestro32"
[ -d "$menu" ] || menu="$c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Kestro32"
for b in $builds; do
  [ $b = x86 ] && bits=32-bit || bits=64-bit
  [ -f "$menu/Kestro32 settings ($bits).lnk" ] || fail "no Start menu entry \"Kestro32 settings ($bits)\": $(find "$c" -name "*.lnk")"
done

step "kestro-host on PATH is the build of the machine's bitness"
path=$(reg_value 64 "$environment" PATH)
case ";$path;" in *";$winprograms\\$first\\;"*) ;; *) fail "PATH does not name $winprograms\\$first: $path" ;; esac
[ "$WINEARCH" = win32 ] || case "$path" in *"Kestro32\\x86"*) fail "PATH names the 32-bit build too: $path" ;; esac
expect_rc 0 "kestro-host from PATH" "$regtool" cmd /c kestro-host --help
grep -q "install" "$scratch/out" || fail "kestro-host --help from PATH printed no usage: $(cat "$scratch/out" "$scratch/err"); PATH=$path"

step "captures with the installed settings, each build"
for b in $builds; do
  use_build $b
  expect_rc 0 "$b: the previous release's capture plays" host play "$windata\\before.avi" --as yuy2 -o "$(win "$scratch/again.yuy2")" -q
  cmp "$scratch/in.yuy2" "$scratch/again.yuy2" || fail "$b: the previous release's capture does not play as captured"
done
for b in $builds; do
  use_build $b
  # The first build's kept settings name the data file of the previous release's take.
  overwrite=; [ $b = "$first" ] && overwrite=--overwrite
  capture_and_play host "after-$b" $overwrite
done
[ -f "$data/kept.000" ] || fail "the captures did not use the installed settings"
# With both builds the second one's settings are the installer's own, naming take.000.
[ "$builds" = "$first" ] || [ -f "$data/take.000" ] || fail "the 32-bit capture did not use the installed settings"
captures() { (cd "$data" && md5sum ./*.avi ./*.[0-9][0-9][0-9] ./*.take); }
sums=$(captures)

step "repair"
# The properties msiexec /fa sets (Wine's msiexec takes /f with neither a package nor a code).
msiexec "repair" /i "$(win "$msi")" REINSTALL=ALL REINSTALLMODE=amus
for b in $builds; do
  use_build $b
  [ "$(reg_value $view "$drivers32" vidc.KEST)" = kestro32.dll ] || fail "$b: the repair lost vidc.KEST"
done
use_build "$first"
[ "$(ini_filename "$sys/kestdisk.ini")" = "$windata\\kept" ] || fail "the repair lost the changed setting"

# A newer installer (this one, marked 0.4.99 under another product code) over this one: the
# installer's own upgrade removes the older package and keeps the codec and the changed setting.
# (Wine's msi takes the PATH entry out leaving its ';', so PATH has an empty entry afterwards,
# where Wine's cmd stops looking: PATH is checked by its value here.)
newer="$scratch/newer.msi"
newcode='{00000000-0000-4000-8000-000000000499}'
cp "$msi" "$newer"
msibuild "$newer" -q "UPDATE \`Property\` SET \`Value\` = '0.4.99' WHERE \`Property\` = 'ProductVersion'" \
  -q "UPDATE \`Property\` SET \`Value\` = '$newcode' WHERE \`Property\` = 'ProductCode'" \
  -s "Installation Database" "The Kestro32 team" "Intel;1033" '{00000000-0000-4000-8000-0000000004AA}'
step "silent upgrade to a newer installer"
msiexec "upgrade" /i "$(win "$newer")"
! key_exists 32 "$uninstall\\$code" || fail "the upgrade left the older package's Apps entry"
[ "$(reg_value 32 "$uninstall\\$newcode" DisplayVersion)" = 0.4.99 ] || fail "the upgrade made no Apps entry of its own"
for b in $builds; do
  use_build $b
  expect_rc 0 "$b: the codec manager loads the codec after the upgrade" \
    with_env KESTRO_INSTALLED_LIBRARY="$winsys\\kestro32.dll" installed_test --gtest_filter='*LoadsTheInstalledLibrary'
done
use_build "$first"
[ "$(ini_filename "$sys/kestdisk.ini")" = "$windata\\kept" ] || fail "the upgrade lost the changed setting"
case ";$(reg_value 64 "$environment" PATH);" in *";$winprograms\\$first\\;"*) ;; *) fail "the upgrade lost the PATH entry" ;; esac
msi=$newer code=$newcode

step "silent uninstall"
msiexec "uninstall" /x "$(win "$msi")"
for b in $builds; do
  use_build $b
  for f in "$sys/kestro32.dll" "$c/windows/inf/kestro32-$b.inf"; do
    [ ! -e "$f" ] || fail "$b: $f left behind"
  done
  # The settings file goes unless the user changed it, as with kestro-host uninstall.
  if [ $b = "$first" ]; then
    [ "$(ini_filename "$sys/kestdisk.ini")" = "$windata\\kept" ] || fail "$b: the uninstall took the changed settings"
  else
    [ ! -e "$sys/kestdisk.ini" ] || fail "$b: the unchanged settings file is left"
  fi
  [ -z "$(reg_value $view "$drivers32" vidc.KEST)" ] || fail "$b: vidc.KEST left in the $view-bit view"
  [ -z "$(reg_value $view "$desc" kestro32.dll)" ] || fail "$b: drivers.desc value left"
  ! key_exists $view "$uninstall\\Kestro32-$b" || fail "$b: an Apps entry Kestro32-$b left"
done
! key_exists 32 "$uninstall\\$code" || fail "the installer's Apps entry is left"
[ ! -e "$programs" ] || fail "program files left: $(find "$programs" | head -5)"
[ ! -e "$menu" ] || fail "Start menu entries left: $(ls "$menu")"
! key_exists 32 'HKLM\Software\Kestro32' || fail "the installer's registry key is left"
case "$(reg_value 64 "$environment" PATH)" in *Kestro32*) fail "PATH still names Kestro32" ;; esac
[ "$(captures)" = "$sums" ] || fail "the uninstall changed or removed a capture"
if [ $can32 = no ]; then
  echo "SKIP: the 64-bit half of the installer passed; this system cannot start 32-bit programs for the rest"
  exit 77
fi
echo "the installer on $([ "$WINEARCH" = win32 ] && echo 32 || echo 64)-bit Windows: ok"
