#!/usr/bin/env bash
# Archives for the engine library's tests under Wine, made by the oracle
# tools from a small generated tree. Usage: make_engine_fixtures.sh OUTDIR
set -euo pipefail
out=$1
rm -rf "$out"
mkdir -p "$out/tree/dir"
cd "$out"

python3 - <<'PY'
import random
random.seed(7)
open("tree/a.txt", "w").write("alpha beta gamma\n" * 1000)
words = [b"lorem", b"ipsum", b"dolor", b"sit", b"amet", b"\x00\xff", b"\n"]
data = b" ".join(random.choice(words) for _ in range(40000))
open("tree/dir/b.bin", "wb").write(data)
open("tree/empty.txt", "wb").close()
open("secret.txt", "w").write("the secret text\n" * 50)
open("plain.txt", "w").write("nothing to hide\n")
open("garbage.bin", "wb").write(bytes(random.randrange(256) for _ in range(5000)))
PY

(cd tree && zip -q -r -X ../infozip.zip a.txt dir empty.txt)

# Traditional encryption for one entry, none for the other.
zip -q -X -P secret crypto.zip secret.txt
zip -q -X crypto.zip plain.txt
7zz a -bso0 -bsp0 -tzip -mem=AES256 -psecret aes.zip secret.txt

python3 - <<'PY'
import zipfile
with zipfile.ZipFile("pytimes.zip", "w") as z:
    info = zipfile.ZipInfo("when.txt", date_time=(2021, 7, 15, 12, 34, 56))
    info.compress_type = zipfile.ZIP_DEFLATED
    z.writestr(info, "summer\n" * 100)
    link = zipfile.ZipInfo("link", date_time=(2020, 1, 2, 3, 4, 6))
    link.create_system = 3
    link.external_attr = 0o120777 << 16
    z.writestr(link, "a.txt")
PY

# 7zz's defaults (LZMA2, compressed headers, solid), then one archive per
# further method with plain headers; -ms=off gives one folder per file.
(cd tree && 7zz a -bso0 -bsp0 ../default.7z a.txt dir empty.txt)
(cd tree && 7zz a -bso0 -bsp0 -ms=off -mhe=on -psecret ../lzma_hdrenc.7z a.txt dir empty.txt)
(cd tree && 7zz a -bso0 -bsp0 -m0=BZip2 -mhc=off -ms=off ../bzip2.7z a.txt dir empty.txt)
(cd tree && 7zz a -bso0 -bsp0 -m0=PPMd -mhc=off ../ppmd.7z a.txt dir empty.txt)
(cd tree && 7zz a -bso0 -bsp0 -m0=BZip2 -mhc=off -psecret ../enc.7z a.txt dir/b.bin)
(cd tree && 7zz a -bso0 -bsp0 -m0=BZip2 -mhc=off -psecret -mhe=on ../hdrenc.7z a.txt)
# One volume of a split archive (the last, which holds the directory's end);
# ZIP's own PPMd.
python3 -c "import random; r = random.Random(11); open('noise.bin', 'wb').write(r.randbytes(150000))"
zip -q -X -s 64k split.zip noise.bin
(cd tree && 7zz a -bso0 -bsp0 -tzip -mm=PPMd -mtc=off ../ppmd.zip a.txt dir empty.txt)

# Names without the UTF-8 flag: raw UTF-8 (Info-ZIP on Linux) and code page
# 437 (DOS), swapped in for ASCII stand-ins of the same length.
python3 - <<'PY'
import zipfile
names = ["caf\u00e9.txt".encode("utf-8"), "na\u00efve \u00c4rger.txt".encode("cp437")]
stand_ins = [b"u" * len(names[0]), b"o" * len(names[1])]
with zipfile.ZipFile("names.zip", "w") as z:
    for stand_in in stand_ins:
        z.writestr(zipfile.ZipInfo(stand_in.decode(), (2021, 6, 15, 12, 34, 56)), b"x")
data = open("names.zip", "rb").read()
for stand_in, raw in zip(stand_ins, names):
    data = data.replace(stand_in, raw)
open("names.zip", "wb").write(data)
PY
touch stamp
