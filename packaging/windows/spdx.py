#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the SPDX 2.3 document of the Windows zip: every file it holds, with its checksums and licence.

    spdx.py STAGE_FOLDER ZIP VERSION QT_VERSION > kelvra-netmon-VERSION-win64.spdx.json

The time stamp is SOURCE_DATE_EPOCH's (the commit's time) when it is set, so that one commit gives one
document; the namespace is made from the zip's checksum.
"""
import hashlib
import json
import os
import sys
import time
from pathlib import Path

OURS = "MIT AND ZPL-2.1 AND GPL-3.0-or-later WITH GCC-exception-3.1"
GCC = "GPL-3.0-or-later WITH GCC-exception-3.1"
# The licence of each file the packages carry, by name; our own programs also hold the MinGW-w64
# start-up code (ZPL-2.1) and GCC's run-time parts that every program it compiles carries.
LICENCES = {
    "kelvra-netmon.exe": OURS, "kelvra-netmon.com": OURS, "kelvra-window.dll": OURS, "kelvra-core.dll": OURS,
    "kelvra-m2bus.exe": OURS, "LICENSE.txt": "MIT", "m2bus.lua": "MIT",
    "Qt6Core.dll": "LGPL-3.0-only", "Qt6Gui.dll": "LGPL-3.0-only", "Qt6Widgets.dll": "LGPL-3.0-only",
    "Qt6Network.dll": "LGPL-3.0-only", "qwindows.dll": "LGPL-3.0-only", "qwindowsvistastyle.dll": "LGPL-3.0-only",
    "libstdc++-6.dll": GCC, "libgcc_s_seh-1.dll": GCC, "libwinpthread-1.dll": "MIT AND BSD-3-Clause",
    "THIRD-PARTY.txt": "NOASSERTION",
}


def digest(path, algorithm):
    return hashlib.new(algorithm, path.read_bytes()).hexdigest()


def main(stage, archive, version, qt):
    stage, archive = Path(stage), Path(archive)
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    files, unknown = [], []
    for number, path in enumerate(sorted(p for p in stage.rglob("*") if p.is_file()), start=1):
        name = "./" + path.relative_to(stage.parent).as_posix()
        licence = LICENCES.get(path.name)
        if licence is None:
            unknown.append(name)
            continue
        files.append({
            "fileName": name,
            "SPDXID": f"SPDXRef-File-{number}",
            "checksums": [{"algorithm": "SHA1", "checksumValue": digest(path, "sha1")},
                          {"algorithm": "SHA256", "checksumValue": digest(path, "sha256")}],
            "licenseConcluded": licence,
            "licenseInfoInFiles": ["NOASSERTION"],
            "copyrightText": "NOASSERTION",
        })
    if unknown:
        sys.exit("spdx.py: no licence is known for " + ", ".join(unknown))
    package = {
        "name": "kelvra-netmon", "SPDXID": "SPDXRef-Package", "versionInfo": version,
        "packageFileName": archive.name, "downloadLocation": "NOASSERTION", "filesAnalyzed": True,
        "packageVerificationCode": {"packageVerificationCodeValue": hashlib.sha1("".join(
            sorted(f["checksums"][0]["checksumValue"] for f in files)).encode()).hexdigest()},
        "checksums": [{"algorithm": "SHA256", "checksumValue": digest(archive, "sha256")}],
        "licenseConcluded": "MIT AND LGPL-3.0-only AND " + GCC + " AND ZPL-2.1 AND BSD-3-Clause",
        "licenseDeclared": "MIT", "licenseInfoFromFiles": ["NOASSERTION"], "copyrightText": "NOASSERTION",
        "comment": f"Kelvra Net Monitor Tool for Windows with Qt {qt} built from Debian's qt6-base source package.",
    }
    document = {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": archive.name,
        "documentNamespace": "https://kelvra.invalid/spdx/" + archive.name + "-" + package["checksums"][0]["checksumValue"],
        "creationInfo": {"created": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
                         "creators": ["Tool: kelvra-netmon packaging/windows/spdx.py"]},
        "packages": [package],
        "files": files,
        "relationships": [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                           "relatedSpdxElement": "SPDXRef-Package"}] +
                         [{"spdxElementId": "SPDXRef-Package", "relationshipType": "CONTAINS",
                           "relatedSpdxElement": f["SPDXID"]} for f in files],
    }
    json.dump(document, sys.stdout, indent=2, sort_keys=True)
    sys.stdout.write("\n")


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    main(*sys.argv[1:])
