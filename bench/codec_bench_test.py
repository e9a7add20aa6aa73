"""codec_bench on real archives made by 7zz: a benchmark must never time a
decode that went wrong, and our packer's archive must pass 7zz's test.
Usage: codec_bench_test.py <codec_bench>"""

import json
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import corpus  # noqa: E402

BENCH = None


def run(*arguments):
    return subprocess.run([BENCH, *map(str, arguments)], capture_output=True, text=True)


def seven(cwd, *arguments):
    subprocess.run(["7zz", "a", "-bso0", "-bsp0", *map(str, arguments)], cwd=cwd, check=True)


class CodecBenchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        root = cls.root = Path(cls.folder.name)
        corpus.write_text(root / "codec.bin", 200_000, seed=3)
        tree = root / "tree"
        (tree / "sub").mkdir(parents=True)
        for i in range(20):
            (tree / "sub" / ("f%d.txt" % i)).write_bytes((root / "codec.bin").read_bytes()[i:i * 900])
        (root / "codec").mkdir()
        seven(root, "-t7z", "-mhc=off", "-m0=LZMA", "codec/lzma.7z", "codec.bin")
        seven(root, "-t7z", "-mhc=off", "-m0=LZMA2:d=64k:c=64k", "codec/lzma2.7z", "codec.bin")
        seven(tree, "-tzip", "../tree.zip", ".")

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_in_memory_decoders_report_their_time(self):
        for archive in ("lzma.7z", "lzma2.7z"):
            for implementation in ("ours", "liblzma"):
                result = run("lzma", implementation, self.root / "codec" / archive)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertGreater(json.loads(result.stdout)["seconds"], 0)
        corpus.write_deflate_streams(self.root / "streams", [b"x" * 5000, bytes(range(256)) * 9])
        for implementation in ("ours", "zlib", "libdeflate"):
            result = run("inflate", implementation, self.root / "streams")
            self.assertEqual(result.returncode, 0, result.stderr)

    def test_every_encoder_round_trips_the_tree_at_a_fast_and_a_slow_level(self):
        raw = sum(path.stat().st_size for path in (self.root / "tree").rglob("*.txt"))
        for implementation in ("ours", "zlib", "libdeflate"):
            for level in (1, 9):
                out = self.root / ("deflate-%s-%d" % (implementation, level))
                result = run("deflate", implementation, level, self.root / "tree", out)
                self.assertEqual(result.returncode, 0, result.stderr)
                report = json.loads(result.stdout)
                self.assertEqual(report["raw"], raw)
                self.assertEqual(report["packed"], out.stat().st_size)
                self.assertLess(report["packed"], raw // 2)

    def test_a_wrong_decode_fails_instead_of_being_timed(self):
        # The original beside the archive no longer matches what it holds.
        changed = self.root / "changed"
        (changed / "codec").mkdir(parents=True)
        (changed / "codec" / "lzma.7z").write_bytes((self.root / "codec/lzma.7z").read_bytes())
        original = bytearray((self.root / "codec.bin").read_bytes())
        original[1000] ^= 1
        (changed / "codec.bin").write_bytes(original)
        result = run("lzma", "ours", changed / "codec" / "lzma.7z")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("differs", result.stderr)

    def test_archive_test_fails_on_a_damaged_entry(self):
        self.assertEqual(run("test", self.root / "tree.zip", 2).returncode, 0)
        damaged = bytearray((self.root / "tree.zip").read_bytes())
        # Inside the largest entry's data, past its local header.
        largest = max(zipfile.ZipFile(self.root / "tree.zip").infolist(),
                      key=lambda info: info.compress_size)
        local = largest.header_offset
        start = local + 30 + int.from_bytes(damaged[local + 26:local + 28], "little") + \
            int.from_bytes(damaged[local + 28:local + 30], "little")
        damaged[start + largest.compress_size // 2] ^= 0x55
        (self.root / "damaged.zip").write_bytes(damaged)
        result = run("test", self.root / "damaged.zip", 2)
        self.assertNotEqual(result.returncode, 0)

    def test_packed_archive_passes_7zz_test_with_every_file(self):
        out = self.root / "packed.zip"
        result = run("pack", self.root / "tree", out, 2)
        self.assertEqual(result.returncode, 0, result.stderr)
        listing = subprocess.run(["7zz", "t", str(out)], capture_output=True, text=True)
        self.assertEqual(listing.returncode, 0, listing.stdout)
        self.assertIn("Files: 20", listing.stdout)


if __name__ == "__main__":
    BENCH = sys.argv.pop(1)
    unittest.main()
