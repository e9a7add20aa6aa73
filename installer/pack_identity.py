#!/usr/bin/env python3
"""Packs the sparse identity package (unsigned): a ZIP of the manifest, the
logos its manifest names, the block map and the content types.

Windows reads the package through its block map, so every file is deflated
in separate 64 KiB blocks, each ending on a full flush, and the block map
records each block's hash and compressed size. The ZIP itself is the plain
kind Windows insists on: version 2.0, no data descriptors, no extra fields.
Signing (osslsigncode) appends AppxSignature.p7x afterwards.

Usage: pack_identity.py AppxManifest.xml ASSETS_FOLDER OUTPUT.msix
"""
import base64
import hashlib
import struct
import sys
import zlib
from pathlib import Path
from xml.sax.saxutils import quoteattr

BLOCK_SIZE = 64 * 1024
ZIP_VERSION = 20
METHOD_STORED, METHOD_DEFLATED = 0, 8
# A fixed time (2026-04-01 00:00) keeps the package byte-identical between
# builds of the same files.
DOS_TIME, DOS_DATE = 0, ((2026 - 1980) << 9) | (4 << 5) | 1
BLOCK_MAP_NAMESPACE = "http://schemas.microsoft.com/appx/2010/blockmap"
SHA256_METHOD = "http://www.w3.org/2001/04/xmlenc#sha256"
CONTENT_TYPES_NAMESPACE = "http://schemas.openxmlformats.org/package/2006/content-types"
CONTENT_TYPES = {"png": "image/png", "xml": "application/xml"}


def deflate_blocks(data):
    """Compresses data in independent 64 KiB blocks; returns the compressed
    bytes of each block (an empty file has none)."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    blocks = []
    for start in range(0, len(data), BLOCK_SIZE):
        last = start + BLOCK_SIZE >= len(data)
        chunk = compressor.compress(data[start:start + BLOCK_SIZE])
        chunk += compressor.flush(zlib.Z_FINISH if last else zlib.Z_FULL_FLUSH)
        blocks.append(chunk)
    return blocks


class ZipWriter:
    def __init__(self):
        self.body = bytearray()
        self.central = bytearray()
        self.count = 0

    def add(self, name, data, compressed, method):
        encoded = name.encode("ascii")
        crc = zlib.crc32(data)
        local = struct.pack("<IHHHHHIIIHH", 0x04034B50, ZIP_VERSION, 0, method, DOS_TIME,
                            DOS_DATE, crc, len(compressed), len(data), len(encoded), 0)
        offset = len(self.body)
        self.body += local + encoded + compressed
        self.central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, ZIP_VERSION, ZIP_VERSION,
                                    0, method, DOS_TIME, DOS_DATE, crc, len(compressed), len(data),
                                    len(encoded), 0, 0, 0, 0, 0, offset) + encoded
        self.count += 1
        return len(local) + len(encoded)

    def finish(self):
        end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, self.count, self.count,
                          len(self.central), len(self.body), 0)
        return bytes(self.body + self.central + end)


def block_map_entry(name, data, blocks, header_size):
    windows_name = name.replace("/", "\\")
    lines = ["<File Name=%s Size=\"%d\" LfhSize=\"%d\">" % (quoteattr(windows_name), len(data),
                                                            header_size)]
    for index, compressed in enumerate(blocks):
        chunk = data[index * BLOCK_SIZE:(index + 1) * BLOCK_SIZE]
        digest = base64.b64encode(hashlib.sha256(chunk).digest()).decode("ascii")
        lines.append("<Block Hash=\"%s\" Size=\"%d\"/>" % (digest, len(compressed)))
    lines.append("</File>")
    return "".join(lines)


def content_types(names):
    extensions = sorted({name.rsplit(".", 1)[-1].lower() for name in names})
    unknown = [e for e in extensions if e not in CONTENT_TYPES]
    if unknown:
        raise SystemExit("pack_identity: no content type for ." + ", .".join(unknown))
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             '<Types xmlns="%s">' % CONTENT_TYPES_NAMESPACE]
    lines += ['<Default Extension="%s" ContentType="%s"/>' % (e, CONTENT_TYPES[e])
              for e in extensions]
    lines.append('<Override PartName="/AppxManifest.xml" '
                 'ContentType="application/vnd.ms-appx.manifest+xml"/>')
    lines.append('<Override PartName="/AppxBlockMap.xml" '
                 'ContentType="application/vnd.ms-appx.blockmap+xml"/>')
    lines.append("</Types>")
    return "\r\n".join(lines).encode("utf-8")


def pack(manifest, assets, output):
    files = [("Assets/" + path.name, path.read_bytes()) for path in sorted(assets.glob("*.png"))]
    files.append(("AppxManifest.xml", manifest.read_bytes()))

    archive = ZipWriter()
    entries = []
    for name, data in files:
        blocks = deflate_blocks(data)
        # An empty file has no blocks, and no deflate stream is no valid one.
        method = METHOD_DEFLATED if data else METHOD_STORED
        header_size = archive.add(name, data, b"".join(blocks), method)
        entries.append(block_map_entry(name, data, blocks, header_size))

    block_map = ('<?xml version="1.0" encoding="UTF-8"?>\r\n'
                 '<BlockMap xmlns="%s" HashMethod="%s">' % (BLOCK_MAP_NAMESPACE, SHA256_METHOD)
                 + "".join(entries) + "</BlockMap>").encode("utf-8")
    for name, data in (("AppxBlockMap.xml", block_map),
                       ("[Content_Types].xml", content_types([n for n, _ in files]))):
        archive.add(name, data, b"".join(deflate_blocks(data)), METHOD_DEFLATED)
    output.write_bytes(archive.finish())


if __name__ == "__main__":
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    pack(Path(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3]))
