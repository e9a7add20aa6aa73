#!/usr/bin/env bash
# Packs a tree with the real program under Wine and lets the oracle tools
# test and extract the archive natively; then extracts the oracles' own ZIP
# and 7z archives of the same tree with the program. Both ways must give the
# tree back byte for byte. Usage: check_with_oracles.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
scratch=$build/e2e-oracles
rm -rf "$scratch"
mkdir -p "$scratch/program" "$scratch/packed"
cp "$build/dist/Vantle.exe" "$build/dist/Cindral.Engine.dll" "$scratch/program/"

vantle() {
  local status=0
  "$root/tools/wine-run" --prefix "$build/wineprefix" "$scratch/program/Vantle.exe" "$@" || status=$?
  if [ "$status" != 0 ]; then
    echo "Vantle.exe $* exited with $status: $(cat "$scratch/program/last-error.txt" 2>/dev/null)"
    exit 1
  fi
}
dos() { printf 'Z:%s' "${1//\//\\}"; }

python3 - "$scratch/packed/tree" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(11)
for folder in ["plain", "\u00e9t\u00e9", "\u65e5\u672c", "empty", "empty/inner", "a/b/c"]:
    os.makedirs(os.path.join(root, folder), exist_ok=True)
for i in range(60):
    folder = ["plain", "\u00e9t\u00e9", "\u65e5\u672c", "a/b/c"][i % 4]
    size = [0, 1, 100, 5000, 70000][i % 5]
    data = bytes(random.randrange(256) for _ in range(size)) if i % 2 else b"text line\n" * (size // 10)
    # ASCII names in two folders, for Info-ZIP below.
    name = "file %d.bin" if folder in ("plain", "a/b/c") else "file %d \u00fc.bin"
    with open(os.path.join(root, folder, name % i), "wb") as f:
        f.write(data)
with open(os.path.join(root, "big.txt"), "wb") as f:
    f.write(b"".join(b"line %d of a compressible file\n" % i for i in range(40000)))
PY

cd "$scratch/packed"
vantle --headless-pack "$(dos "$scratch/packed/tree")"
test -f tree.zip
unzip -tq tree.zip
7zz t -bso0 -bsp0 tree.zip
mkdir unzip-out && unzip -q tree.zip -d unzip-out
diff -r tree unzip-out/tree
echo "packed: $(stat -c %s tree.zip) bytes, unzip -t and 7zz t pass, unzip gives the tree back"

for peer in infozip.zip sevenzip.zip copy.7z bzip2.7z ppmd.7z; do
  mkdir "$scratch/$peer"
  case $peer in
    # Info-ZIP on Unix stores UTF-8 names without the UTF-8 flag, which the
    # format says are code page 437: only the ASCII part of the tree.
    infozip.zip) zip -q -r "$scratch/$peer/$peer" tree/plain tree/a tree/empty tree/big.txt ;;
    sevenzip.zip) 7zz a -bso0 -bsp0 -tzip "$scratch/$peer/$peer" tree ;;
    copy.7z) 7zz a -bso0 -bsp0 -m0=Copy -mhc=off "$scratch/$peer/$peer" tree ;;
    bzip2.7z) 7zz a -bso0 -bsp0 -m0=BZip2 -mhc=off "$scratch/$peer/$peer" tree ;;
    ppmd.7z) 7zz a -bso0 -bsp0 -m0=PPMd -mhc=off "$scratch/$peer/$peer" tree ;;
  esac
  vantle --headless-extract "$(dos "$scratch/$peer/$peer")"
  if [ "$peer" = infozip.zip ]; then
    for part in plain a empty big.txt; do diff -r "tree/$part" "$scratch/$peer/tree/$part"; done
  else
    diff -r tree "$scratch/$peer/tree"
  fi
  if ls -A "$scratch/$peer" | grep -q '^\.Cindral-'; then
    echo "$peer: staging left behind"
    exit 1
  fi
  echo "$peer: extracted identically"
done
rm -rf "$scratch"
