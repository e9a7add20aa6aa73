#!/usr/bin/env bash
# Whole-program times: Vantle.exe --headless-pack / --headless-extract under
# Wine beside 7zz run natively on the same corpus in the same run, and how
# much of an extraction goes to publishing and folder guarding (measured by
# bench/windows/pipeline_phases.exe on the same archive).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
export CINDRAL_BUILD="$root/build"
# shellcheck source=tools/wine-env
source tools/wine-env
cindral_wine_prefix
cindral_wine_services

work="$root/build/bench-program"
rm -rf "$work"
mkdir -p "$work/corpus/text" "$work/corpus/bin" "$work/ours" "$work/peer"
python3 - "$work/corpus" <<'PY'
import os, random, sys
root = sys.argv[1]
words = b"the archive of careful packing deflate window Vantle stream block".split()
rng = random.Random(7)
def text(size):
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + (b"\n" if rng.random() < 0.1 else b" ")
    return bytes(out[:size])
for i in range(12):
    open(os.path.join(root, "text", "doc%d.txt" % i), "wb").write(text(2 << 20))
for i in range(1500):
    folder = os.path.join(root, "small", "d%d" % (i % 25))
    os.makedirs(folder, exist_ok=True)
    open(os.path.join(folder, "f%d.txt" % i), "wb").write(text(200 + i * 37 % 12000))
PY
find /usr/bin -maxdepth 1 -type f -size +200k 2>/dev/null | head -25 | xargs -I{} cp {} "$work/corpus/bin/"
bytes=$(du -sb "$work/corpus" | cut -f1)
files=$(find "$work/corpus" -type f | wc -l)
echo "corpus: $files files, $((bytes / 1000000)) MB"

dos() { printf 'Z:%s' "${1//\//\\}"; }
seconds() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }'
}
vantle=("$root/tools/wine-run" --prefix "$WINEPREFIX" "$root/build/dist/Vantle.exe")

pack_ours=$(seconds "${vantle[@]}" --headless-pack "$(dos "$work/corpus")")
pack_peer=$(seconds sh -c "cd '$work/corpus' && 7zz a -tzip -mx5 -mmt=$(nproc) '$work/peer/corpus.zip' ." )
ours_size=$(stat -c %s "$work/corpus.zip")
peer_size=$(stat -c %s "$work/peer/corpus.zip")
echo "pack:    Vantle (Wine) ${pack_ours}s $ours_size B | 7zz a -tzip -mx5 (native) ${pack_peer}s $peer_size B"

mv "$work/corpus.zip" "$work/ours/corpus.zip"
extract_ours=$(seconds "${vantle[@]}" --headless-extract "$(dos "$work/ours/corpus.zip")")
extract_peer=$(seconds 7zz x -y -o"$work/peer/out" "$work/ours/corpus.zip")
echo "extract: Vantle (Wine) ${extract_ours}s | 7zz x (native) ${extract_peer}s"

# The engine is loaded from the program's own folder only.
mkdir -p "$work/phases-program"
cp "$root/build/bin/pipeline_phases.exe" "$root/build/dist/Cindral.Engine.dll" "$work/phases-program/"
"$root/tools/wine-run" --prefix "$WINEPREFIX" "$work/phases-program/pipeline_phases.exe" \
  "$(dos "$work/ours/corpus.zip")" "$(dos "$work/phases")"
rm -rf "$work"
