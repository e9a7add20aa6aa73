"""The benchmark corpora: seeded text, program binaries, 20,000 small files in
200 folders and one large file, plus the archives made of them by 7zz. Made
once into build/bench/corpus/<size> and reused while the recipe is unchanged.
"""

import json
import os
import random
import shutil
import subprocess
import zlib
from dataclasses import asdict, dataclass
from pathlib import Path

# Bump when anything below changes what is made.
RECIPE = 3

# Windows program binaries that tools/setup installs with Wine: real x86-64
# PE code and data, fixed by the package version, no download needed.
BINARY_SOURCE = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")

MIB = 1 << 20


@dataclass(frozen=True)
class Sizes:
    text: int
    binaries: int
    small_files: int
    small_folders: int
    big: int
    codec_text: int  # the single-stream codec input: this much text...
    codec_binaries: int  # ...then this much of the binaries
    many_folders: int  # folders of the small tree in the many-folder archives
    # LZMA2 block size of the multi-block archive: the quick corpus needs
    # smaller blocks for enough of them to keep every core busy.
    lzma2_block: int = 4 * MIB


FULL = Sizes(text=64 * MIB, binaries=48 * MIB, small_files=20000, small_folders=200,
             big=1024 * MIB, codec_text=32 * MIB, codec_binaries=16 * MIB, many_folders=20)
QUICK = Sizes(text=16 * MIB, binaries=12 * MIB, small_files=2000, small_folders=20,
              big=32 * MIB, codec_text=8 * MIB, codec_binaries=4 * MIB, many_folders=5,
              lzma2_block=1 * MIB)


def words(rng):
    vocabulary = []
    for _ in range(4000):
        length = 2 + rng.randrange(9)
        vocabulary.append("".join(chr(97 + rng.randrange(26)) for _ in range(length)))
    # Zipf-like weights: a few words are very common, as in prose and code.
    weights, total = [], 0.0
    for rank in range(len(vocabulary)):
        total += 1.0 / (rank + 1) ** 1.1
        weights.append(total)
    return vocabulary, weights


def write_text(path, size, seed):
    rng = random.Random(seed)
    vocabulary, weights = words(rng)
    written = 0
    with open(path, "wb") as out:
        while written < size:
            chosen = rng.choices(vocabulary, cum_weights=weights, k=40000)
            for i in range(0, len(chosen), 12):
                chosen[i] += "\n" if rng.randrange(3) else ",\n"
            block = " ".join(chosen).encode()[: size - written]
            out.write(block)
            written += len(block)


def write_binaries(folder, budget):
    folder.mkdir(parents=True)
    total = 0
    for source in sorted(BINARY_SOURCE.iterdir()):
        if total >= budget:
            break
        if not source.is_file() or source.stat().st_size < 64 * 1024:
            continue
        data = source.read_bytes()[: min(4 * MIB, budget - total)]
        (folder / source.name).write_bytes(data)
        total += len(data)
    if total < budget:
        raise RuntimeError("too few program binaries in %s" % BINARY_SOURCE)


def concatenated(folder):
    return b"".join(path.read_bytes() for path in sorted(folder.iterdir()))


def write_small_tree(root, pool, sizes):
    """Files of 0 B to 16 KiB, most of them under 2 KiB: slices of text and
    binaries at seeded offsets. Returns the manifest (size, relative path)."""
    rng = random.Random(20000)
    manifest = []
    for index in range(sizes.small_files):
        folder = "d%03d" % (index % sizes.small_folders)
        size = int(2 ** rng.uniform(0, 14)) if rng.randrange(50) else 0
        start = rng.randrange(len(pool) - size)
        relative = "small/%s/f%05d.%s" % (folder, index, "txt" if rng.randrange(4) else "bin")
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(pool[start:start + size])
        manifest.append((size, relative))
    return manifest


def write_big(path, text, binaries, size):
    """1 MiB blocks of text and binaries at seeded offsets: repeats lie far
    beyond a Deflate window, so every block is new data to the packer."""
    rng = random.Random(1 << 30)
    with open(path, "wb") as out:
        for block in range(size // MIB):
            pool = binaries if block % 4 == 3 else text
            start = rng.randrange(len(pool) - MIB)
            out.write(pool[start:start + MIB])


def write_deflate_streams(path, pieces):
    """zlib level 6 raw Deflate streams, each preceded by its decoded and
    encoded sizes (two little-endian u32)."""
    with open(path, "wb") as out:
        for piece in pieces:
            encoder = zlib.compressobj(6, zlib.DEFLATED, -15)
            packed = encoder.compress(piece) + encoder.flush()
            out.write(len(piece).to_bytes(4, "little") + len(packed).to_bytes(4, "little"))
            out.write(packed)


def inflate_pieces(text, binaries_folder, small_root, manifest):
    """The mixed inflate corpus: text in 4 MiB streams, each binary on its
    own, and the first 3,000 small files."""
    pieces = [text[i:i + 4 * MIB] for i in range(0, len(text), 4 * MIB)]
    pieces += [path.read_bytes() for path in sorted(binaries_folder.iterdir())]
    pieces += [(small_root / relative).read_bytes() for _, relative in manifest[:3000]]
    return [piece for piece in pieces if piece]


def sevenzip(cwd, *arguments):
    subprocess.run(["7zz", "a", "-bso0", "-bsp0", "-mmt=2", *arguments], cwd=cwd, check=True)


def make_archives(root, sizes):
    codec = root / "codec"
    codec.mkdir()
    # Plain headers (-mhc=off) let the benchmark find the single packed stream.
    sevenzip(root, "-t7z", "-mhc=off", "-m0=LZMA", "-mx5", "codec/lzma.7z", "codec.bin")
    sevenzip(root, "-t7z", "-mhc=off", "-m0=LZMA2:d=1m:c=%db" % sizes.lzma2_block, "-mx5",
             "codec/lzma2.7z", "codec.bin")
    sevenzip(root, "-t7z", "-m0=PPMd", "codec/ppmd.7z", "codec.bin")
    sevenzip(root, "-tzip", "-mm=PPMd", "codec/ppmd.zip", "codec.bin")
    sevenzip(root, "-t7z", "-m0=BZip2", "codec/bzip2.7z", "codec.bin")
    sevenzip(root / "mixed", "-tzip", "-mx5", "../codec/deflate.zip", ".")

    programs = root / "programs"
    programs.mkdir()
    sevenzip(root, "-tzip", "-mx5", "programs/small.zip", "small")
    sevenzip(root, "-t7z", "-mx5", "programs/small.7z", "small")
    sevenzip(root, "-t7z", "-mx5", "programs/solid.7z", "mixed")
    folders = ["small/d%03d" % i for i in range(sizes.many_folders)]
    sevenzip(root, "-t7z", "-ms=off", "-mx5", "programs/folders.7z", *folders)
    sevenzip(root, "-t7z", "-ms=off", "-m0=BZip2", "programs/bzip2-folders.7z", *folders)
    sevenzip(root, "-tzip", "-mm=BZip2", "programs/bzip2.zip", *folders)


def make(root, sizes):
    if root.exists():
        shutil.rmtree(root)
    root.mkdir(parents=True)
    mixed = root / "mixed"
    (mixed / "text").mkdir(parents=True)
    write_text(root / "text.txt", sizes.text, seed=1951)
    text = (root / "text.txt").read_bytes()
    for i in range(0, len(text), 4 * MIB):
        (mixed / "text" / ("doc%02d.txt" % (i // (4 * MIB)))).write_bytes(text[i:i + 4 * MIB])
    write_binaries(mixed / "bin", sizes.binaries)
    binaries = concatenated(mixed / "bin")
    (root / "codec.bin").write_bytes(text[:sizes.codec_text] + binaries[:sizes.codec_binaries])

    manifest = write_small_tree(root, text + binaries, sizes)
    with open(root / "small.manifest", "w") as out:
        out.writelines("%d\t%s\n" % entry for entry in manifest)
    (root / "big").mkdir()
    write_big(root / "big" / "big.bin", text, binaries, sizes.big)
    write_deflate_streams(root / "inflate.streams",
                          inflate_pieces(text, mixed / "bin", root, manifest))
    make_archives(root, sizes)


def ensure(root, sizes):
    """Makes the corpus unless the one at root was made by this recipe."""
    stamp = root / "stamp.json"
    wanted = {"recipe": RECIPE, "sizes": asdict(sizes)}
    if stamp.exists() and json.loads(stamp.read_text()) == wanted:
        return
    make(root, sizes)
    stamp.write_text(json.dumps(wanted))


if __name__ == "__main__":
    import sys

    ensure(Path(sys.argv[1]), QUICK if sys.argv[2:] == ["--quick"] else FULL)
