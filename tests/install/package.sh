#!/bin/bash
# The package scripts/package.sh makes from the two builds: its files and zip, both libraries
# (only DriverProc exported, the right machine type), and INFs that name the right folders and
# registry views for their build.
# Environment: KESTRO_BUILD, KESTRO_OTHER_BUILD (the two builds), KESTRO_SOURCE.
set -euo pipefail
: "${KESTRO_BUILD:?}" "${KESTRO_OTHER_BUILD:?}" "${KESTRO_SOURCE:?}"
arch=$(grep -o "KESTRO_ARCH='[a-z0-9_]*'" "$KESTRO_BUILD/wine-run" | cut -d"'" -f2)
if [ "$arch" = i686 ]; then i686=$KESTRO_BUILD x86_64=$KESTRO_OTHER_BUILD; else i686=$KESTRO_OTHER_BUILD x86_64=$KESTRO_BUILD; fi
for b in "$i686" "$x86_64"; do
  if [ ! -f "$b/kestro32.dll" ] || [ ! -f "$b/tools/kestro-host.exe" ]; then
    echo "SKIP: the package needs both builds; $b lacks kestro32.dll or tools/kestro-host.exe"
    exit 77
  fi
done
scratch=$(mktemp -d "$KESTRO_BUILD/tests/package-scratch.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The version as the build itself read it.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$KESTRO_BUILD/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $KESTRO_BUILD/CMakeCache.txt"
KESTRO_BUILD_I686=$i686 KESTRO_BUILD_X86_64=$x86_64 "$KESTRO_SOURCE/scripts/package.sh" "$scratch" >/dev/null
pkg="$scratch/kestro32-$version"
[ -d "$pkg" ] || fail "no folder kestro32-$version: $(ls "$scratch")"

for a in x86 x64; do
  if [ $a = x86 ]; then b=$i686 cpu=i686 format=pei-i386; else b=$x86_64 cpu=x86_64 format=pei-x86-64; fi
  objdump=$cpu-w64-mingw32-objdump
  # The build's own programs less their debug sections, and nothing else changed.
  for f in kestro32.dll tools/kestro-host.exe; do
    SOURCE_DATE_EPOCH=$(git -C "$KESTRO_SOURCE" log -1 --format=%ct) \
      $cpu-w64-mingw32-strip --strip-debug -o "$scratch/stripped" "$b/$f"
    cmp "$scratch/stripped" "$pkg/$a/${f#tools/}" || fail "$a/${f#tools/} is not the $cpu build's"
    ! "$objdump" -h "$pkg/$a/${f#tools/}" | grep -q ' \.debug' || fail "$a/${f#tools/} has debug sections"
  done
  # The manifest that keeps a 32-bit kestro-host out of UAC's VirtualStore, and a version.
  for text in 'level="asInvoker"' '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a' '35138b9a-5d96-4fbd-8e2d-a2440225f93a' \
    '<longPathAware' ; do
    grep -qaF "$text" "$pkg/$a/kestro-host.exe" || fail "$a/kestro-host.exe: no $text in its manifest"
  done
  LC_ALL=C grep -qaP '\xbd\x04\xef\xfe' "$pkg/$a/kestro-host.exe" || fail "$a/kestro-host.exe has no version resource"
  bash "$KESTRO_SOURCE/tests/check-dll.sh" "$pkg/$a/kestro32.dll" "$objdump" >/dev/null ||
    fail "$a/kestro32.dll: $(bash "$KESTRO_SOURCE/tests/check-dll.sh" "$pkg/$a/kestro32.dll" "$objdump" || true)"
  for f in kestro32.dll kestro-host.exe; do
    "$objdump" -f "$pkg/$a/$f" | grep -q "file format $format\$" || fail "$a/$f is not $format"
  done
done

python3 - "$scratch" "$version" "$KESTRO_SOURCE" <<'EOF'
import csv, os, re, sys, zipfile

out, version, source = sys.argv[1:]
name = "kestro32-" + version
pkg = os.path.join(out, name)
problems = []
def check(ok, what):
    if not ok:
        problems.append(what)

files = sorted(os.path.relpath(os.path.join(d, f), pkg) for d, _, fs in os.walk(pkg) for f in fs)
wanted = sorted(["README-Windows.txt"] + [f"{a}/{f}" for a in ("x86", "x64")
                for f in ("kestro32.dll", "kestro32.inf", "kestdisk.ini", "kestro-host.exe")])
check(files == wanted, f"package files {files}")
with zipfile.ZipFile(os.path.join(out, name + ".zip")) as z:
    check(sorted(z.namelist()) == [f"{name}/{f}" for f in wanted], f"zip members {z.namelist()}")
    for f in wanted:
        with open(os.path.join(pkg, f), "rb") as disk:
            check(z.read(f"{name}/{f}") == disk.read(), f"zip's {f} differs")

def text(path):
    data = open(os.path.join(pkg, path), "rb").read()
    check(data.count(b"\n") == data.count(b"\r\n") and data.count(b"\n") > 0, f"{path}: not CRLF")
    return data.decode("utf-8")

ini_source = open(os.path.join(source, "src/resources/install/kestdisk.ini"), "rb").read()
for a in ("x86", "x64"):
    check(text(f"{a}/kestdisk.ini").replace("\r\n", "\n").encode() == ini_source,
          f"{a}/kestdisk.ini is not the installed settings file")
readme = text("README-Windows.txt")
check(version in readme, "README-Windows.txt does not name the version")

def sections(inf):
    found, current = {}, None
    for line in inf.split("\r\n"):
        line = line.strip()
        if not line or line.startswith(";"):
            continue
        m = re.fullmatch(r"\[(.+)\]", line)
        if m:
            current = m.group(1).lower()
            found[current] = []
        else:
            found[current].append(line)
    return found

def fields(line):  # quoted fields may hold commas, as in CSV
    return [f.strip() for f in next(csv.reader([line], skipinitialspace=True))]

def flags(line):  # a registry entry's fourth field
    f = fields(line) + ["", "", "", ""]
    return int(f[3], 16) if f[3] else 0

for a, system, view_flag in (("x86", "16425", 0x4000), ("x64", "11", 0)):
    inf = text(f"{a}/kestro32.inf")
    check("@" not in inf, f"{a}: placeholder left")
    s = sections(inf)
    check(f"DriverVer=" in inf and re.search(r"DriverVer=\d\d/\d\d/\d{4}," + re.escape(version) + r"\.0\r\n", inf),
          f"{a}: DriverVer is not this version")
    check(not any(l.lower().startswith("updateinis") for ls in s.values() for l in ls), f"{a}: UpdateInis")
    dest = dict(l.split("=") for l in s["destinationdirs"])
    # Nothing goes into the data folder: an engine running as an administrator would follow a
    # link any user may have laid there.
    check(dest == {"Kestro32.Library": system, "Kestro32.Settings": system, "Kestro32.Inf": "17"},
          f"{a}: DestinationDirs {dest}")
    check(fields(s["kestro32.library"][0]) == ["kestro32.dll", "", "", "0x20"], f"{a}: library copy flags")
    check(fields(s["kestro32.settings"][0]) == ["kestdisk.ini", "", "", "0x10"], f"{a}: settings copy flags")
    check(fields(s["kestro32.inf"][0]) == [f"kestro32-{a}.inf", "kestro32.inf"], f"{a}: INF copy name")
    install = "defaultinstall" if a == "x86" else "defaultinstall.ntamd64"
    check(set(k for k in s if k.startswith("default")) ==
          ({"defaultinstall", "defaultuninstall", "defaultuninstall.ntamd64"} if a == "x86"
           else {"defaultinstall.ntamd64", "defaultuninstall.ntamd64"}), f"{a}: install sections {sorted(s)}")
    check(s[install] == ["CopyFiles=Kestro32.Library,Kestro32.Settings,Kestro32.Inf",
                         "AddReg=Kestro32.Registry"],
          f"{a}: {install}")
    strings = {k.strip(): v.strip().strip('"') for k, v in (l.split("=", 1) for l in s["strings"])}
    check(strings["UninstallKey"] == f"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kestro32-{a}",
          f"{a}: Uninstall key {strings['UninstallKey']}")
    values = {}
    for l in s["kestro32.registry"]:
        f = fields(l)
        check(flags(l) & 0x4000 == view_flag, f"{a}: registry view of {f[2]}")
        values[f[2]] = f[4]
    check(values["vidc.KEST"] == "kestro32.dll", f"{a}: vidc.KEST")
    check(values["UninstallString"] == f"%{system}%\\rundll32.exe setupapi.dll,InstallHinfSection "
          f"DefaultUninstall 132 %17%\\kestro32-{a}.inf", f"{a}: UninstallString {values['UninstallString']}")
    removals = [fields(l) for l in s["kestro32.unregister"]]
    check([r[:3] for r in removals] == [
        ["HKLM", "Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32", "vidc.KEST"],
        ["HKLM", "Software\\Microsoft\\Windows NT\\CurrentVersion\\drivers.desc", "kestro32.dll"],
        ["HKLM", "%UninstallKey%"]], f"{a}: removals {removals}")
    check(all(len(r) <= 3 for r in removals), f"{a}: removals carry flags")
    if a == "x86":
        # The 64-bit engine removes from the 32-bit view only.
        check(s["defaultuninstall.ntamd64"][1] == "DelReg=Kestro32.Unregister.32BitView", "x86: 64-bit removal")
        check(all(flags(l) & 0x4000 for l in s["kestro32.unregister.32bitview"]),
              "x86: 64-bit removal outside the 32-bit view")
if problems:
    print("\n".join("FAIL: " + p for p in problems), file=sys.stderr)
    sys.exit(1)
EOF
# The installer: this version, a 32-bit package (the one kind both systems install), the 64-bit
# build's components on 64-bit Windows only, PATH naming the build of the machine's bitness, and
# each build's kestro-host installing and removing its codec.
msi="$scratch/kestro32-$version.msi"
[ -f "$msi" ] || fail "no kestro32-$version.msi"
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
[ "$(table Property | sed -n 's/^ProductVersion\t//p')" = "$version" ] || fail "the installer's version"
msiinfo suminfo "$msi" | grep -q '^Template: Intel;' || fail "the installer is not a 32-bit package"
[ "$(table Component | awk -F'\t' '$5 != "" {print $1 "=" $5}' | sort | tr '\n' ' ')" = \
  "MenuX64=VersionNT64 X64Build=VersionNT64 X64Path=VersionNT64 X86Path=NOT VersionNT64 " ] ||
  fail "component conditions: $(table Component)"
[ "$(table Environment | cut -f2- | sort | tr '\t\n' ',,')" = \
  "=-*PATH,[~];[X64FOLDER],X64Path,=-*PATH,[~];[X86FOLDER],X86Path," ] || fail "PATH entries: $(table Environment)"
[ "$(table Upgrade | cut -f2,3,5,7 | sort | tr '\t\n' ',,')" = "0.0.0,$version,768,OLDERKESTRO,$version,,2,NEWERKESTRO," ] ||
  fail "upgrades: $(table Upgrade)"
[ "$(table CustomAction | cut -f1,3,4 | sort | tr '\t\n' ',,')" = \
  "InstallCodecX64,HostX64,install --msi,InstallCodecX86,HostX86,install --msi,SetDataFolder,DATAFOLDER,C:\\Users\\Public\\Videos\\Kestro32\\,UninstallCodecX64,HostX64,uninstall --msi,UninstallCodecX86,HostX86,uninstall --msi," ] ||
  fail "custom actions: $(table CustomAction)"
# What runs as the system touches nothing a standard user may create or replace: every deferred
# action without impersonation runs an installed program (type 18) from under Program Files with a
# command line that names no path; the data folder comes from the tables, with its permissions.
for t in CustomAction Directory Component File CreateFolder MsiLockPermissionsEx; do
  table "$t" >"$scratch/$t.idt" || fail "no $t table"
done
python3 - "$scratch" <<'EOF'
import os, sys
d = sys.argv[1]
def rows(name):
    with open(os.path.join(d, name + ".idt"), encoding="utf-8") as f:
        return [line.rstrip("\n").split("\t") for line in f if line.strip()]
problems = []
parent = {r[0]: r[1] for r in rows("Directory")}
component_dir = {r[0]: r[2] for r in rows("Component")}
file_component = {r[0]: r[1] for r in rows("File")}
def chain(directory):
    seen = []
    while directory and directory not in seen:
        seen.append(directory)
        directory = parent.get(directory, "")
    return seen
system_runs = 0
for action, kind, source, target, *rest in rows("CustomAction"):
    kind = int(kind)
    if not (kind & 0x400 and kind & 0x800):  # deferred, not impersonated: as the system
        continue
    system_runs += 1
    if kind & 0x3F != 18:
        problems.append(f"{action} (type {kind}) runs no installed program")
        continue
    dirs = chain(component_dir.get(file_component.get(source, ""), ""))
    if "ProgramFilesFolder" not in dirs or "DATAFOLDER" in dirs:
        problems.append(f"{action} runs {source} from {dirs}, not from under Program Files")
    if any(c in target for c in "[%:\\/"):
        problems.append(f"{action}'s command line names a path: {target}")
if system_runs != 4:
    problems.append(f"{system_runs} actions run as the system, not the 4 of the two builds")
if ["DATAFOLDER", "DataFolder"] not in rows("CreateFolder"):
    problems.append("the data folder is not made from the CreateFolder table")
locks = [r for r in rows("MsiLockPermissionsEx") if r[1] == "DATAFOLDER"]
if len(locks) != 1 or locks[0][2] != "CreateFolder" or \
        locks[0][3] != "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)":
    problems.append(f"the data folder's permissions: {locks}")
if problems:
    print("\n".join("FAIL: " + p for p in problems), file=sys.stderr)
    sys.exit(1)
EOF
echo "package kestro32-$version: files, zip, installer, libraries and INFs as they should be"
