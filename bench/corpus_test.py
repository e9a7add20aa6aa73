"""The corpora are the same bytes on every run and machine with the same
Wine package, and have the shape the report's rows name."""

import dataclasses
import hashlib
import json
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import corpus  # noqa: E402
import suite  # noqa: E402

TINY = corpus.Sizes(text=256 << 10, binaries=1 << 20, small_files=300, small_folders=7,
                    big=4 << 20, codec_text=64 << 10, codec_binaries=64 << 10, many_folders=2)


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


class CorpusTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.root = Path(self.folder.name)

    def tearDown(self):
        self.folder.cleanup()

    def test_text_is_seeded_and_exactly_sized(self):
        corpus.write_text(self.root / "a", 300_000, seed=5)
        corpus.write_text(self.root / "b", 300_000, seed=5)
        corpus.write_text(self.root / "c", 300_000, seed=6)
        self.assertEqual((self.root / "a").stat().st_size, 300_000)
        self.assertEqual(digest(self.root / "a"), digest(self.root / "b"))
        self.assertNotEqual(digest(self.root / "a"), digest(self.root / "c"))

    def test_small_tree_matches_its_manifest_in_the_folders_asked_for(self):
        pool = bytes(range(256)) * 512
        first = corpus.write_small_tree(self.root / "one", pool, TINY)
        second = corpus.write_small_tree(self.root / "two", pool, TINY)
        self.assertEqual(first, second)
        self.assertEqual(len(first), TINY.small_files)
        folders = {relative.split("/")[1] for _, relative in first}
        self.assertEqual(len(folders), TINY.small_folders)
        for size, relative in first:
            self.assertEqual((self.root / "one" / relative).stat().st_size, size)
        self.assertIn(0, [size for size, _ in first])  # empty files are part of the mix

    def test_deflate_streams_record_both_sizes(self):
        pieces = [b"abc" * 1000, bytes(range(256)) * 40]
        corpus.write_deflate_streams(self.root / "s", pieces)
        self.assertEqual(suite.inflate_bytes(self.root / "s"), sum(map(len, pieces)))

    def test_a_corpus_made_by_this_recipe_is_kept(self):
        root = self.root / "corpus"
        root.mkdir()
        (root / "stamp.json").write_text(
            json.dumps({"recipe": corpus.RECIPE, "sizes": dataclasses.asdict(TINY)}))
        corpus.ensure(root, TINY)  # made already: nothing to do, nothing removed
        self.assertEqual([p.name for p in root.iterdir()], ["stamp.json"])


if __name__ == "__main__":
    unittest.main()
