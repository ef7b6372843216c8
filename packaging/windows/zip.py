#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes a zip of a folder that one commit always gives: the files in sorted order, each with the time of
SOURCE_DATE_EPOCH (the commit's), the same permissions and no owner, whoever builds it and wherever.

    zip.py ZIP FOLDER

The entries are named from FOLDER's own name down, as `cd PARENT && zip -r ZIP FOLDER` names them.
"""
import os
import sys
import time
import zipfile
from pathlib import Path


# Programs and libraries may be run; the rest is read.
RUNNABLE = (".exe", ".com", ".dll")


def entry(name, epoch, mode, dos=0):
    # Zip keeps local time in two-second steps from 1980: UTC, so that the time zone changes nothing.
    info = zipfile.ZipInfo(name, date_time=time.gmtime(max(epoch, 315532800))[:6])
    info.create_system = 3
    info.external_attr = mode << 16 | dos
    return info


def main(archive, folder):
    folder = Path(folder)
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    paths = sorted(folder.rglob("*"), key=lambda p: p.relative_to(folder).as_posix())
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as out:
        for path in [folder] + paths:
            name = Path(folder.name, path.relative_to(folder)).as_posix()
            if path.is_dir():
                out.writestr(entry(name + "/", epoch, 0o40755, dos=0x10), b"")
            else:
                mode = 0o100755 if path.suffix.lower() in RUNNABLE else 0o100644
                out.writestr(entry(name, epoch, mode), path.read_bytes(), zipfile.ZIP_DEFLATED, 9)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: zip.py ZIP FOLDER")
    main(*sys.argv[1:])
