#!/usr/bin/env python3
"""The identity package and the MSI as tools/package built them: signatures,
the block map read back by the checker, tampering of every kind the checker
must catch, and the identity the package carries.

Usage: package_test.py BUILD_DIR   (after tools/package)
"""
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "installer"))
import check_block_map  # noqa: E402
import pack_identity  # noqa: E402

BUILD = Path(sys.argv.pop(1)).resolve() if len(sys.argv) > 1 else ROOT / "build"
PACKAGE = BUILD / "installer" / "identity.msix"
UNSIGNED = BUILD / "installer" / "identity-unsigned.msix"
CERT = Path(os.environ.get("CINDRAL_SIGNING_CA") or os.environ.get("CINDRAL_SIGNING_CERT") or
            BUILD / "installer" / "test-signing" / "cert.pem")


def verify_signature(path):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", str(CERT), "-in", str(path)],
                          capture_output=True, text=True).returncode == 0


def check_error(package):
    """The checker's complaint about package bytes, or None when sound."""
    try:
        check_block_map.check(package)
    except check_block_map.PackageError as error:
        return str(error)
    return None


def repack(package, replace=None, drop=(), add=()):
    """The package's entries written afresh with their own compressed bytes,
    some replaced by new contents (compressed the package's way), some
    dropped, some added; CRCs are right, so only the block map can object."""
    entries = check_block_map.read_entries(package)
    archive = pack_identity.ZipWriter()
    for name, entry in entries.items():
        if name in drop:
            continue
        if replace and name in replace:
            data = replace[name]
            archive.add(name, data, b"".join(pack_identity.deflate_blocks(data)), 8)
        else:
            archive.add(name, check_block_map.contents(entry), entry.stored, entry.method)
    for name, data in add:
        archive.add(name, data, b"".join(pack_identity.deflate_blocks(data)), 8)
    return archive.finish()


def block_map_text(package):
    entries = check_block_map.read_entries(package)
    return check_block_map.contents(entries["AppxBlockMap.xml"]).decode("utf-8")


class BuiltPackage(unittest.TestCase):
    def test_signatures_verify(self):
        self.assertTrue(verify_signature(PACKAGE))
        msi = next(BUILD.joinpath("dist").glob("Vantle-*-x64.msi"))
        self.assertTrue(verify_signature(msi), msi)

    def test_signed_package_matches_its_block_map(self):
        self.assertIsNone(check_error(PACKAGE.read_bytes()))
        names = set(zipfile.ZipFile(PACKAGE).namelist())
        self.assertIn("AppxSignature.p7x", names)
        self.assertTrue({"Assets/StoreLogo.png", "Assets/Square150x150Logo.png",
                         "Assets/Square44x44Logo.png", "AppxManifest.xml"} <= names, names)

    def test_a_flipped_byte_in_any_file_fails_both_checks(self):
        package = PACKAGE.read_bytes()
        entries = check_block_map.read_entries(package)
        self.assertEqual(len(entries), 7)
        with tempfile.TemporaryDirectory() as folder:
            for name, entry in entries.items():
                with self.subTest(file=name):
                    start = package.index(entry.stored)
                    tampered = bytearray(package)
                    tampered[start + len(entry.stored) // 2] ^= 0x20
                    self.assertIsNotNone(check_error(bytes(tampered)))
                    path = Path(folder) / "tampered.msix"
                    path.write_bytes(tampered)
                    self.assertFalse(verify_signature(path))

    def test_packed_identity_is_the_programs_identity(self):
        with tempfile.TemporaryDirectory() as folder:
            manifest = Path(folder) / "AppxManifest.xml"
            manifest.write_bytes(zipfile.ZipFile(PACKAGE).read("AppxManifest.xml"))
            result = subprocess.run(
                [sys.executable, str(ROOT / "tests/broker/check_identity_manifest.py"),
                 str(manifest), str(ROOT / "resources/Vantle.manifest")],
                capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stdout)


def msi_table(msi, table):
    """The rows of an MSI table as dictionaries, read by msitools."""
    text = subprocess.run(["msiinfo", "export", str(msi), table], check=True,
                          capture_output=True, text=True).stdout
    lines = text.split("\r\n") if "\r\n" in text else text.split("\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


class BuiltInstaller(unittest.TestCase):
    def setUp(self):
        self.msi = next(BUILD.joinpath("dist").glob("Vantle-*-x64.msi"))

    def test_no_folder_argument_escapes_its_closing_quote(self):
        # A folder property ends in a backslash, which turns the quote after
        # it into a literal: the broker would get one argument too few.
        folders = {row["Directory"] for row in msi_table(self.msi, "Directory")}
        actions = msi_table(self.msi, "CustomAction")
        self.assertEqual(len(actions), 3)
        for action in actions:
            with self.subTest(action["Action"]):
                for folder in re.findall(r"\[(\w+)\]\"", action["Target"]):
                    self.assertNotIn(folder, folders, action["Target"])

    def test_the_broker_runs_deferred_impersonated_and_never_fails_the_install(self):
        # Type bits: 18 exe from an installed file, 64 return ignored,
        # 256 rollback, 1024 deferred, 2048 would be no impersonation.
        types = {row["Action"]: int(row["Type"]) for row in msi_table(self.msi, "CustomAction")}
        for action, kind in types.items():
            with self.subTest(action):
                self.assertEqual(kind & 0x3F, 18)
                self.assertTrue(kind & 64 and kind & 1024 and not kind & 2048, kind)
        self.assertTrue(types["RollBackIdentity"] & 256)
        sequence = {row["Action"]: int(row["Sequence"])
                    for row in msi_table(self.msi, "InstallExecuteSequence")}
        self.assertGreater(sequence["RegisterIdentity"], sequence["WriteRegistryValues"])
        self.assertLess(sequence["RollBackIdentity"], sequence["RegisterIdentity"])
        self.assertLess(sequence["RemoveIdentity"], sequence["RemoveFiles"])
        self.assertLess(sequence["RemoveExistingProducts"], sequence["InstallInitialize"])


class BlockMapForgeries(unittest.TestCase):
    """Packages whose ZIP is sound (CRCs right) but whose block map lies."""

    def setUp(self):
        self.package = UNSIGNED.read_bytes()
        self.assertIsNone(check_error(self.package))
        self.block_map = block_map_text(self.package)

    def with_block_map(self, text):
        return repack(self.package, replace={"AppxBlockMap.xml": text.encode("utf-8")})

    def test_changed_content_under_the_old_block_map(self):
        manifest = zipfile.ZipFile(UNSIGNED).read("AppxManifest.xml")
        changed = manifest.replace(b"Vantle archiver", b"Vantle archivar")
        self.assertNotEqual(changed, manifest)
        error = check_error(repack(self.package, replace={"AppxManifest.xml": changed}))
        self.assertRegex(error, "AppxManifest.xml: (block 0 hash|Size) differs")

    def test_wrong_sizes_and_header_lengths(self):
        block_size = re.search(r'(<Block Hash="[^"]+" Size=")(\d+)"', self.block_map)
        cases = {
            "block size": self.block_map.replace(
                block_size.group(0), block_size.group(1) + str(int(block_size.group(2)) - 1) + '"', 1),
            "file size": re.sub(r'(Name="AppxManifest.xml" Size=")(\d+)',
                                lambda m: m.group(1) + str(int(m.group(2)) + 1), self.block_map),
            "LfhSize": re.sub(r'LfhSize="(\d+)"', lambda m: 'LfhSize="%d"' % (int(m.group(1)) + 2),
                              self.block_map, count=1),
            "hash method": self.block_map.replace("xmlenc#sha256", "xmlenc#sha512"),
        }
        for what, text in cases.items():
            with self.subTest(what):
                self.assertNotEqual(text, self.block_map)
                self.assertIsNotNone(check_error(self.with_block_map(text)))

    def test_unlisted_missing_and_reordered_files(self):
        extra = repack(self.package, add=[("Assets/Extra.png", b"not listed")])
        self.assertRegex(check_error(extra), "block map lists")
        missing = repack(self.package, drop={"Assets/StoreLogo.png"})
        self.assertRegex(check_error(missing), "block map lists")
        files = re.findall(r"<File .*?</File>", self.block_map)
        swapped = self.block_map.replace(files[0] + files[1], files[1] + files[0])
        self.assertNotEqual(swapped, self.block_map)
        self.assertRegex(check_error(self.with_block_map(swapped)), "block map lists")


class MultiBlockFiles(unittest.TestCase):
    """Files of several 64 KiB blocks and an empty one, which the built
    package does not carry."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        assets = Path(self.folder.name) / "Assets"
        assets.mkdir()
        # Deterministic bytes that deflate poorly: a SHA-256 chain.
        chain, block = b"", b"seed"
        while len(chain) < 3 * 65536 + 100:
            block = hashlib.sha256(block).digest()
            chain += block
        self.large = chain[:3 * 65536 + 100]
        (assets / "Large.png").write_bytes(self.large)
        (assets / "Empty.png").write_bytes(b"")
        self.output = Path(self.folder.name) / "multi.msix"
        pack_identity.pack(ROOT / "resources/identity/AppxManifest.xml", assets, self.output)

    def tearDown(self):
        self.folder.cleanup()

    def test_every_block_is_checked(self):
        package = self.output.read_bytes()
        self.assertIsNone(check_error(package))
        block_map = block_map_text(package)
        self.assertEqual(len(re.findall(r"<Block ", re.search(
            r'Name="Assets\\Large.png".*?</File>', block_map).group(0))), 4)
        self.assertRegex(block_map, r'Name="Assets\\Empty.png" Size="0" LfhSize="\d+"></File>')
        for index in range(4):
            with self.subTest(block=index):
                changed = bytearray(self.large)
                changed[index * 65536 + 7] ^= 1
                error = check_error(repack(package, replace={"Assets/Large.png": bytes(changed)}))
                self.assertRegex(error, "Large.png: block %d hash differs" % index)

    def test_the_oracle_reads_the_package(self):
        archive = zipfile.ZipFile(self.output)
        self.assertIsNone(archive.testzip())
        self.assertEqual(archive.read("Assets/Large.png"), self.large)
        self.assertTrue(all(info.flag_bits & 0x8 == 0 for info in archive.infolist()))


if __name__ == "__main__":
    unittest.main()
