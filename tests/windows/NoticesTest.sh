#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the Windows packages owe the components they bundle: THIRD-PARTY.txt in the zip and in the
# installer's files, with every licence text it needs; the SPDX document whole and true to the zip;
# the exact source of the Qt they carry beside them, as its .dsc names it.
# Usage: NoticesTest.sh WINDOWS_OUT_DIR
set -euo pipefail
out=$(realpath "$1")
source "$(dirname "$0")/../support/Scratch.sh"
zip=$(find "$out" -maxdepth 1 -name 'kelvra-netmon-*-win64.zip' | head -n 1)
[ -n "$zip" ] || { echo "no Windows build in $out (scripts/windows.sh)"; exit 77; }
version=$(basename "$zip" -win64.zip | sed 's/^kelvra-netmon-//')
spdx=$out/kelvra-netmon-$version-win64.spdx.json
sources=$out/kelvra-netmon-$version-qt-source

# The notices in the zip, each licence text whole, and the installer installing them.
(cd "$work" && cmake -E tar xf "$zip")
notices=$work/kelvra-netmon-$version/THIRD-PARTY.txt
[ -f "$notices" ] && [ -f "$work/kelvra-netmon-$version/LICENSE.txt" ] || fail "the zip lacks THIRD-PARTY.txt or LICENSE.txt"
for text in /usr/share/common-licenses/LGPL-3 /usr/share/common-licenses/GPL-3 \
    /usr/share/doc/libqt6core6/copyright /usr/share/doc/mingw-w64-x86-64-dev/copyright; do
    grep -qxF -f <(grep -v '^\s*$' "$text" | tail -n 1) "$notices" && grep -qF "$(head -n 1 "$text")" "$notices" ||
        fail "THIRD-PARTY.txt lacks $text"
done
for line in "GCC RUNTIME LIBRARY EXCEPTION" "2. No Weakening of GCC Copyleft." "Files: mingw-w64-libraries/winpthreads/*" \
    "apt-get source qt6-base=$(dpkg-query -W -f='${Version}' qt6-base-dev)"; do
    grep -qF "$line" "$notices" || fail "THIRD-PARTY.txt lacks \"$line\""
done
grep -q 'File "${STAGE}\\THIRD-PARTY.txt"' "$(dirname "$0")/../../packaging/windows/installer.nsi" ||
    fail "the installer does not install THIRD-PARTY.txt"

# The SPDX document: its form, and every file of the zip in it once with its true checksums.
python3 - "$spdx" "$zip" "$work/kelvra-netmon-$version" <<'CHECK' || fail "the SPDX document"
import hashlib, json, re, sys
from pathlib import Path
document, archive, tree = json.load(open(sys.argv[1])), Path(sys.argv[2]), Path(sys.argv[3])
def need(ok, what):
    if not ok:
        sys.exit("SPDX: " + what)
need(document.get("spdxVersion") == "SPDX-2.3" and document.get("dataLicense") == "CC0-1.0", "version or data licence")
need(document.get("SPDXID") == "SPDXRef-DOCUMENT" and document.get("documentNamespace", "").startswith("https://"),
     "document identity")
need(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", document["creationInfo"]["created"] or ""), "creation time")
ids = [e["SPDXID"] for e in document["packages"] + document["files"]] + ["SPDXRef-DOCUMENT"]
need(len(ids) == len(set(ids)) and all(re.fullmatch(r"SPDXRef-[A-Za-z0-9.-]+", i) for i in ids), "element identifiers")
for r in document["relationships"]:
    need(r["spdxElementId"] in ids and r["relatedSpdxElement"] in ids, "a relationship to nothing")
package = document["packages"][0]
need(package["checksums"][0]["checksumValue"] == hashlib.sha256(archive.read_bytes()).hexdigest(), "the zip's checksum")
listed = {f["fileName"]: f for f in document["files"]}
present = {"./" + p.relative_to(tree.parent).as_posix(): p for p in tree.rglob("*") if p.is_file()}
need(sorted(listed) == sorted(present), "files: %s" % sorted(set(listed) ^ set(present)))
for name, entry in listed.items():
    sums = {c["algorithm"]: c["checksumValue"] for c in entry["checksums"]}
    data = present[name].read_bytes()
    need(sums.get("SHA1") == hashlib.sha1(data).hexdigest() and sums.get("SHA256") == hashlib.sha256(data).hexdigest(),
         "the checksums of " + name)
    need(entry["licenseConcluded"] not in ("", None), "the licence of " + name)
codes = "".join(sorted(hashlib.sha1(p.read_bytes()).hexdigest() for p in present.values()))
need(package["packageVerificationCode"]["packageVerificationCodeValue"] == hashlib.sha1(codes.encode()).hexdigest(),
     "the verification code")
CHECK

# Qt's source beside the packages: every file its .dsc names, with the checksum it gives.
dsc=$(find "$sources" -maxdepth 1 -name 'qt6-base_*.dsc' | head -n 1)
[ -n "$dsc" ] && [ -f "$sources/windows-qt.sh" ] || fail "no Qt source or build script in $sources"
named=0
while read -r sum _ file; do
    [ "$(sha256sum "$sources/$file" 2>/dev/null | cut -d' ' -f1)" = "$sum" ] || fail "Qt's source: $file"
    named=$((named + 1))
done < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/{/^ /p}' "$dsc")
[ "$named" -ge 2 ] || fail "the .dsc names no tarballs"
echo "notices: THIRD-PARTY.txt with LGPL-3, GPL-3, the GCC exception, Qt's and MinGW-w64's licences; SPDX true to" \
    "$(grep -c '"fileName"' "$spdx") files; Qt's source ($named files) beside the packages"
