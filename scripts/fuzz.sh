#!/usr/bin/env bash
# Runs every fuzz target of BUILD_DIR for SECONDS each, seeding fuzz-corpus/<target> with its
# committed inputs (tests/fuzz/seeds/<name>) and the XML parts of the shared workbook corpus on
# first use. Crash inputs land in fuzz-corpus/crashes/.
set -euo pipefail
BUILD_DIR=${1:?usage: fuzz.sh BUILD_DIR SECONDS}
SECONDS_EACH=${2:?usage: fuzz.sh BUILD_DIR SECONDS}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PY=${PY:-$ROOT/.venv/bin/python}
CORPUS_SRC=${QUILLFEN_CORPUS:-$ROOT/../shared/corpus/files}
OUT=$ROOT/fuzz-corpus
mkdir -p "$OUT/crashes"

seed() {
    local dir=$1 kept=$ROOT/tests/fuzz/seeds/${1##*/fuzz_}
    [ -n "$(ls -A "$dir" 2>/dev/null)" ] && return 0
    mkdir -p "$dir"
    # The committed regression inputs of the target, if any.
    [ -d "$kept" ] && cp "$kept"/* "$dir"/
    [ -d "$CORPUS_SRC" ] || return 0
    "$PY" - "$CORPUS_SRC" "$dir" <<'PYEOF'
import hashlib, pathlib, sys, zipfile
src, dst = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
# The inflater's target takes a byte of read sizes and a raw deflate stream: the members as
# the workbooks hold them. The others take the XML parts.
raw = dst.name == "fuzz_inflate"
for book in sorted(src.glob("*.xlsx")):
    try:
        with zipfile.ZipFile(book) as z:
            for info in z.infolist():
                if not info.filename.endswith((".xml", ".rels")):
                    continue
                if raw:
                    if info.compress_type != zipfile.ZIP_DEFLATED or info.compress_size > 65535:
                        continue
                    with open(book, "rb") as f:
                        f.seek(info.header_offset + 26)
                        skip = int.from_bytes(f.read(2), "little") + int.from_bytes(f.read(2), "little")
                        f.seek(skip, 1)
                        data = bytes([info.CRC & 0xFF]) + f.read(info.compress_size)
                else:
                    data = z.read(info.filename)[:65536]
                (dst / hashlib.sha1(data).hexdigest()).write_bytes(data)
    except zipfile.BadZipFile:
        pass
PYEOF
}

for target in "$BUILD_DIR"/tests/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    seed "$OUT/$name"
    # A target without a dictionary of its own takes the XML reader's.
    dict=$ROOT/tests/fuzz/${name#fuzz_}.dict
    [ -f "$dict" ] || dict=$ROOT/tests/fuzz/xml.dict
    # Deflate streams are bits, not words: the inflater's target runs without a dictionary.
    dict_arg=(-dict="$dict")
    [ "$name" = fuzz_inflate ] && dict_arg=()
    echo "== $name for ${SECONDS_EACH}s"
    "$target" "$OUT/$name" -max_total_time="$SECONDS_EACH" -max_len=65536 -timeout=20 \
        -artifact_prefix="$OUT/crashes/" "${dict_arg[@]}" -print_final_stats=1
done
