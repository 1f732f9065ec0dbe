#!/bin/bash
# Builds the Windows package from the built i686 and x86_64 folders: build/dist/kestro32-VERSION/
# with x86/ and x64/ (each kestro32.dll, kestro32.inf, kestdisk.ini and kestro-host.exe) and
# README-Windows.txt, build/dist/kestro32-VERSION.zip of that folder, and the one installer for
# both builds, build/dist/kestro32-VERSION.msi (made with wixl, from msitools). The programs
# ship without debug sections.
# usage: package.sh [OUTDIR]   (default build/dist; KESTRO_BUILD_I686 / KESTRO_BUILD_X86_64 name
# other build folders). Text files get CRLF line ends, as Windows' own tools expect.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/dist}
i686=${KESTRO_BUILD_I686:-$root/build/i686}
x86_64=${KESTRO_BUILD_X86_64:-$root/build/x86_64}
install="$root/src/resources/install"

die() { echo "package.sh: $*" >&2; exit 1; }

# The version as CMakeLists.txt reads it: the three numbers of src/resources/Product.h.
number() {
  sed -nE "s/^#define KESTRO_VERSION_$1 ([0-9]+)\$/\\1/p" "$root/src/resources/Product.h"
}
major=$(number MAJOR) minor=$(number MINOR) patch=$(number PATCH)
[ -n "$major" ] && [ -n "$minor" ] && [ -n "$patch" ] ||
  die "src/resources/Product.h does not define the three version numbers"
version="$major.$minor.$patch"
site=$(sed -nE 's/^#define KESTRO_WEB_SITE "([^"]+)"$/\1/p' "$root/src/resources/Product.h")
[ -n "$site" ] || die "src/resources/Product.h does not define KESTRO_WEB_SITE"
# DriverVer's date: the commit's, so that a package rebuilt from the same tree is the same.
date=$(git -C "$root" log -1 --format=%cd --date=format:%m/%d/%Y 2>/dev/null || true)
[ -n "$date" ] || date=$(date +%m/%d/%Y)
stamp=$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)
[ -n "$stamp" ] || stamp=$(date +%s)

for f in "$i686/kestro32.dll" "$i686/tools/kestro-host.exe" "$x86_64/kestro32.dll" \
  "$x86_64/tools/kestro-host.exe"; do
  [ -f "$f" ] || die "$f is missing: build both Windows flavours first (scripts/build.sh i686, x86_64)"
done

crlf() { sed -e 's/\r$//' -e 's/$/\r/' "$1"; }
fill() { # template -> text with this package's version, date and address
  sed -e "s|@VERSION@|$version|g" -e "s|@DATE@|$date|g" -e "s|@WEB_SITE@|$site|g" "$1"
}

name="kestro32-$version"
dir="$out/$name"
rm -rf "$dir" "$out/$name.zip"
mkdir -p "$dir/x86" "$dir/x64"
for arch in x86 x64; do
  if [ $arch = x86 ]; then build=$i686; else build=$x86_64; fi
  if [ $arch = x86 ]; then strip=i686-w64-mingw32-strip; else strip=x86_64-w64-mingw32-strip; fi
  command -v $strip >/dev/null || die "$strip is missing (mingw-w64's binutils)"
  # strip stamps the PE header with the time it runs unless told a time: the commit's.
  SOURCE_DATE_EPOCH=$stamp $strip --strip-debug -o "$dir/$arch/kestro32.dll" "$build/kestro32.dll"
  SOURCE_DATE_EPOCH=$stamp $strip --strip-debug -o "$dir/$arch/kestro-host.exe" "$build/tools/kestro-host.exe"
  fill "$install/kestro32-$arch.inf.in" >"$dir/$arch/kestro32.inf.lf"
  crlf "$dir/$arch/kestro32.inf.lf" >"$dir/$arch/kestro32.inf"
  rm "$dir/$arch/kestro32.inf.lf"
  crlf "$install/kestdisk.ini" >"$dir/$arch/kestdisk.ini"
done
fill "$install/README-Windows.txt" >"$dir/README-Windows.txt.lf"
crlf "$dir/README-Windows.txt.lf" >"$dir/README-Windows.txt"
rm "$dir/README-Windows.txt.lf"
if grep -l '@[A-Z_]*@' "$dir"/*/kestro32.inf "$dir/README-Windows.txt" >/dev/null; then
  die "a placeholder was left unfilled in $(grep -l '@[A-Z_]*@' "$dir"/*/kestro32.inf "$dir/README-Windows.txt" | tr '\n' ' ')"
fi

# The zip holds the folder itself, so that unpacking it gives kestro32-VERSION/.
python3 - "$out" "$name" <<'EOF'
import os, sys, zipfile
out, name = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(os.path.join(out, name + ".zip.tmp"), "w", zipfile.ZIP_DEFLATED) as z:
    for folder, _, files in sorted(os.walk(os.path.join(out, name))):
        for f in sorted(files):
            path = os.path.join(folder, f)
            z.write(path, os.path.relpath(path, out))
os.replace(os.path.join(out, name + ".zip.tmp"), os.path.join(out, name + ".zip"))
EOF

# The installer. Its product code changes with the version and with every byte it installs, so
# that any two different packages upgrade one another; the same tree gives the same package.
msi="$out/$name.msi"
rm -f "$msi"
command -v wixl >/dev/null && command -v msibuild >/dev/null ||
  die "wixl or msibuild is missing (Debian's wixl and msitools packages)"
code=$(python3 - "$dir" "$version" <<'EOF'
import hashlib, os, sys, uuid
folder, version = sys.argv[1], sys.argv[2]
digest = hashlib.sha256(version.encode())
for base, _, files in sorted(os.walk(folder)):
    for f in sorted(files):
        path = os.path.join(base, f)
        digest.update(os.path.relpath(path, folder).encode() + b"\0" + open(path, "rb").read())
print(str(uuid.uuid5(uuid.UUID("4E5CCB30-0F49-4BA6-B615-A95E727A02FE"), digest.hexdigest())).upper())
EOF
)
fill "$install/kestro32.wxs.in" | sed -e "s|@PRODUCT_CODE@|$code|g" >"$out/$name.wxs"
! grep -q '@[A-Z_]*@' "$out/$name.wxs" || die "a placeholder was left unfilled in $out/$name.wxs"
(cd "$dir" && wixl -o "$msi.tmp" "$out/$name.wxs") || die "wixl could not make $msi"
rm "$out/$name.wxs"
# What wixl's WiX subset lacks, written into the tables with msibuild: the data folder's
# permissions (SYSTEM and Administrators full control, Users modify, passed on inside, nothing
# inherited from Public Videos), the components of one
# bitness (the 64-bit build on 64-bit Windows; PATH naming the build of the machine's bitness),
# the PATH entries, appended at install and taken out again at uninstall, and the upgrade of a
# package of this same version (wixl drops IncludeMaximum, and the attributes are part of the row's key: the row is
# written anew, 768 for both ends inclusive).
q='`'
msibuild "$msi.tmp" \
  -q "DELETE FROM ${q}Upgrade$q WHERE ${q}ActionProperty$q = 'OLDERKESTRO'" \
  -q "INSERT INTO ${q}Upgrade$q (${q}UpgradeCode$q, ${q}VersionMin$q, ${q}VersionMax$q, ${q}Attributes$q, ${q}ActionProperty$q) VALUES ('{4E5CCB30-0F49-4BA6-B615-A95E727A02FE}', '0.0.0', '$version', 768, 'OLDERKESTRO')" \
  -q "UPDATE ${q}Component$q SET ${q}Condition$q = 'VersionNT64' WHERE ${q}Component$q = 'X64Build' OR ${q}Component$q = 'X64Path' OR ${q}Component$q = 'MenuX64'" \
  -q "UPDATE ${q}Component$q SET ${q}Condition$q = 'NOT VersionNT64' WHERE ${q}Component$q = 'X86Path'" \
  -q "CREATE TABLE ${q}Environment$q (${q}Environment$q CHAR(72) NOT NULL, ${q}Name$q CHAR(255) NOT NULL LOCALIZABLE, ${q}Value$q CHAR(255) LOCALIZABLE, ${q}Component_$q CHAR(72) NOT NULL PRIMARY KEY ${q}Environment$q)" \
  -q "INSERT INTO ${q}Environment$q (${q}Environment$q, ${q}Name$q, ${q}Value$q, ${q}Component_$q) VALUES ('PathX64', '=-*PATH', '[~];[X64FOLDER]', 'X64Path')" \
  -q "INSERT INTO ${q}Environment$q (${q}Environment$q, ${q}Name$q, ${q}Value$q, ${q}Component_$q) VALUES ('PathX86', '=-*PATH', '[~];[X86FOLDER]', 'X86Path')" \
  -q "INSERT INTO ${q}InstallExecuteSequence$q (${q}Action$q, ${q}Sequence$q) VALUES ('RemoveEnvironmentStrings', 3300)" \
  -q "INSERT INTO ${q}InstallExecuteSequence$q (${q}Action$q, ${q}Sequence$q) VALUES ('WriteEnvironmentStrings', 5200)" \
  -q "CREATE TABLE ${q}MsiLockPermissionsEx$q (${q}MsiLockPermissionsEx$q CHAR(72) NOT NULL, ${q}LockObject$q CHAR(72) NOT NULL, ${q}Table$q CHAR(32) NOT NULL, ${q}SDDLText$q CHAR(255) NOT NULL, ${q}Condition$q CHAR(255) PRIMARY KEY ${q}MsiLockPermissionsEx$q)" \
  -q "INSERT INTO ${q}MsiLockPermissionsEx$q (${q}MsiLockPermissionsEx$q, ${q}LockObject$q, ${q}Table$q, ${q}SDDLText$q) VALUES ('DataFolderForUsers', 'DATAFOLDER', 'CreateFolder', 'D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)')" ||
  die "msibuild could not complete $msi"
mv "$msi.tmp" "$msi"
echo "package: $dir, $out/$name.zip and $msi"
