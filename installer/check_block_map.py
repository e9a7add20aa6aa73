#!/usr/bin/env python3
"""Checks an identity package against its own block map, reading both afresh.

A second reading, independent of the writer: it finds the entries through
the ZIP's central directory, reads each local header and its data, checks
every entry's CRC-32, and for every file the block map lists recomputes each
64 KiB block's SHA-256 and, for compressed files, inflates each block's
recorded compressed bytes on their own, which must give exactly that block.
Every file of the package but the block map itself, the content types and
the signature must be listed, in the ZIP's order, and nothing else.

Usage: check_block_map.py PACKAGE.msix    (exit 0 when sound; else 1)
"""
import base64
import hashlib
import struct
import sys
import zlib
import xml.etree.ElementTree as ET

BLOCK_SIZE = 64 * 1024
BLOCK_MAP = "{http://schemas.microsoft.com/appx/2010/blockmap}"
SHA256_METHOD = "http://www.w3.org/2001/04/xmlenc#sha256"
UNLISTED = {"AppxBlockMap.xml", "[Content_Types].xml", "AppxSignature.p7x"}
END_RECORD = struct.Struct("<IHHHHIIH")
CENTRAL_HEADER = struct.Struct("<IHHHHHHIIIHHHHHII")
LOCAL_HEADER = struct.Struct("<IHHHHHIIIHH")


class PackageError(Exception):
    pass


def require(condition, text):
    if not condition:
        raise PackageError(text)


class Entry:
    def __init__(self, name, method, flags, crc, size, stored, header_size):
        self.name, self.method, self.flags, self.crc, self.size = name, method, flags, crc, size
        self.stored = stored  # the entry's bytes as they lie in the archive
        self.header_size = header_size


def read_entries(package):
    end = package.rfind(b"PK\x05\x06", max(0, len(package) - 65557))
    require(end >= 0 and end + END_RECORD.size <= len(package), "no end of central directory")
    _, _, _, _, count, directory_size, directory_offset, _ = END_RECORD.unpack_from(package, end)
    require(directory_offset + directory_size <= end, "central directory out of bounds")
    entries, position = {}, directory_offset
    for _ in range(count):
        require(position + CENTRAL_HEADER.size <= end, "central directory truncated")
        fields = CENTRAL_HEADER.unpack_from(package, position)
        require(fields[0] == 0x02014B50, "bad central header")
        flags, method, crc, compressed_size, size = fields[3], fields[4], fields[7], fields[8], fields[9]
        name_length, extra_length, comment_length, offset = fields[10], fields[11], fields[12], fields[16]
        raw_name = package[position + 46:position + 46 + name_length]
        name = raw_name.decode("utf-8", "replace")
        position += 46 + name_length + extra_length + comment_length
        require(offset + LOCAL_HEADER.size <= directory_offset, name + ": local header out of bounds")
        local = LOCAL_HEADER.unpack_from(package, offset)
        require(local[0] == 0x04034B50, name + ": bad local header")
        require(package[offset + 30:offset + 30 + local[9]] == raw_name, name + ": local name differs")
        header_size = 30 + local[9] + local[10]
        data_start = offset + header_size
        require(data_start + compressed_size <= directory_offset, name + ": data out of bounds")
        require(name not in entries, name + ": duplicate entry")
        entries[name] = Entry(name, method, flags, crc, size,
                              package[data_start:data_start + compressed_size], header_size)
    return entries


def contents(entry):
    if entry.method == 0:
        data = entry.stored
    elif entry.method == 8:
        try:
            inflater = zlib.decompressobj(-15)
            data = inflater.decompress(entry.stored) + inflater.flush()
        except zlib.error as error:
            raise PackageError(entry.name + ": bad deflate data (%s)" % error)
        require(inflater.eof, entry.name + ": deflate data ends early")
    else:
        raise PackageError(entry.name + ": unknown method %d" % entry.method)
    require(len(data) == entry.size, entry.name + ": size differs from the directory")
    require(zlib.crc32(data) == entry.crc, entry.name + ": CRC-32 mismatch")
    return data


def check_file(listed, entry, data):
    name = entry.name
    require(int(listed.get("Size", "-1")) == len(data), name + ": Size differs")
    require(int(listed.get("LfhSize", "-1")) == entry.header_size, name + ": LfhSize differs")
    blocks = listed.findall(BLOCK_MAP + "Block")
    require(len(blocks) == (len(data) + BLOCK_SIZE - 1) // BLOCK_SIZE, name + ": block count")
    position = 0
    for index, block in enumerate(blocks):
        chunk = data[index * BLOCK_SIZE:(index + 1) * BLOCK_SIZE]
        digest = base64.b64encode(hashlib.sha256(chunk).digest()).decode("ascii")
        require(block.get("Hash") == digest, "%s: block %d hash differs" % (name, index))
        if entry.method == 0:
            require(block.get("Size") is None, "%s: stored block %d has a size" % (name, index))
            continue
        size = int(block.get("Size", "-1"))
        require(0 < size <= len(entry.stored) - position, "%s: block %d size" % (name, index))
        # Each block ends on a full flush, so it inflates on its own.
        try:
            inflated = zlib.decompressobj(-15).decompress(entry.stored[position:position + size])
        except zlib.error as error:
            raise PackageError("%s: block %d does not inflate (%s)" % (name, index, error))
        require(inflated == chunk, "%s: block %d size or content differs" % (name, index))
        position += size
    if entry.method == 8:
        require(position == len(entry.stored), name + ": blocks do not cover the data")


def check(package):
    entries = read_entries(package)
    require("AppxBlockMap.xml" in entries, "no AppxBlockMap.xml")
    data = {name: contents(entry) for name, entry in entries.items()}
    for name, entry in entries.items():
        require(entry.flags & 0x8 == 0, name + ": data descriptor")
    try:
        root = ET.fromstring(data["AppxBlockMap.xml"])
    except ET.ParseError as error:
        raise PackageError("AppxBlockMap.xml: %s" % error)
    require(root.tag == BLOCK_MAP + "BlockMap", "not a block map")
    require(root.get("HashMethod") == SHA256_METHOD, "hash method is not SHA-256")
    listed = {}
    for element in root.findall(BLOCK_MAP + "File"):
        name = element.get("Name", "").replace("\\", "/")
        require(name not in listed, name + ": listed twice")
        listed[name] = element
    # Windows reads the block map and the ZIP side by side: same files,
    # same order.
    payload = [name for name in entries if name not in UNLISTED]
    require(list(listed) == payload, "block map lists %s, package holds %s" % (list(listed), payload))
    for name in payload:
        check_file(listed[name], entries[name], data[name])


def main(path):
    with open(path, "rb") as file:
        package = file.read()
    try:
        check(package)
    except PackageError as error:
        print("%s: %s" % (path, error))
        return 1
    print("%s: block map matches" % path)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    sys.exit(main(sys.argv[1]))
