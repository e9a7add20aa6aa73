#!/usr/bin/env python3
"""Reads a ZIP with python's zipfile, as a second opinion for the writer's tests.

Prints "bad <name>" for the first damaged member (testzip), then one line per
member: name (repr), file size, CRC, date_time, external attributes, flags,
method. Exits 1 when zipfile cannot open the archive.
"""
import sys
import zipfile

try:
    with zipfile.ZipFile(sys.argv[1]) as archive:
        bad = archive.testzip()
        print("bad" if bad else "ok", repr(bad))
        for info in archive.infolist():
            print(repr(info.filename), info.file_size, info.CRC,
                  "%04d-%02d-%02dT%02d:%02d:%02d" % info.date_time,
                  info.external_attr, info.flag_bits, info.compress_type)
except zipfile.BadZipFile as error:
    print("unreadable", error)
    sys.exit(1)
