"""The floor program under Wine makes exactly the files of its manifest and
reads back every file of a tree: a floor that did less would make every
whole-program ratio look better than it is.
Usage: file_floor_test.py <file_floor.exe> <build folder>"""

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PROGRAM = BUILD = None


def dos(path):
    return "Z:" + str(path).replace("/", "\\")


def floor(*arguments):
    return subprocess.run([str(ROOT / "tools/wine-run"), "--prefix", str(BUILD / "wineprefix"),
                           str(PROGRAM), *arguments], capture_output=True, text=True)


class FileFloorTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(dir=BUILD)
        self.root = Path(self.folder.name)

    def tearDown(self):
        self.folder.cleanup()

    def test_write_makes_every_manifest_file_at_its_size(self):
        entries = [(0, "small/d000/empty.bin"), (70000, "small/d000/f1.txt"),
                   (12, "small/d001/\u00e9t\u00e9.txt"), (5, "top.txt")]
        manifest = self.root / "manifest"
        manifest.write_text("".join("%d\t%s\n" % e for e in entries), encoding="utf-8")
        result = floor("write", dos(manifest), dos(self.root / "out"))
        self.assertEqual(result.returncode, 0, result.stderr)
        made = sorted((str(p.relative_to(self.root / "out")), p.stat().st_size)
                      for p in (self.root / "out").rglob("*") if p.is_file())
        self.assertEqual(made, sorted((path, size) for size, path in entries))

    def test_write_refuses_to_write_over_an_existing_folder(self):
        # It creates, never reuses: a second run into the same place fails.
        manifest = self.root / "manifest"
        manifest.write_text("3\ta.txt\n")
        self.assertEqual(floor("write", dos(manifest), dos(self.root / "out")).returncode, 0)
        self.assertNotEqual(floor("write", dos(manifest), dos(self.root / "out")).returncode, 0)

    def test_read_writes_every_file_of_the_tree_into_one(self):
        tree = self.root / "tree"
        (tree / "a" / "b").mkdir(parents=True)
        contents = {"one": b"1" * 100, "a/two": b"", "a/b/three": b"3" * 70000}
        for name, data in contents.items():
            (tree / name).write_bytes(data)
        result = floor("read", dos(tree), dos(self.root / "all"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted((self.root / "all").read_bytes()),
                         sorted(b"".join(contents.values())))


if __name__ == "__main__":
    PROGRAM, BUILD = Path(sys.argv.pop(1)).resolve(), Path(sys.argv.pop(1)).resolve()
    unittest.main()
