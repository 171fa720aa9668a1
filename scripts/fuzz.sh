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
for book in sorted(src.glob("*.xlsx")):
    try:
        with zipfile.ZipFile(book) as z:
            for name in z.namelist():
                if name.endswith((".xml", ".rels")):
                    data = z.read(name)[:65536]
                    (dst / hashlib.sha1(data).hexdigest()).write_bytes(data)
    except zipfile.BadZipFile:
        pass
PYEOF
}

for target in "$BUILD_DIR"/tests/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    seed "$OUT/$name"
    # Every target reads XML: without a dictionary of its own it takes the reader's.
    dict=$ROOT/tests/fuzz/${name#fuzz_}.dict
    [ -f "$dict" ] || dict=$ROOT/tests/fuzz/xml.dict
    echo "== $name for ${SECONDS_EACH}s"
    "$target" "$OUT/$name" -max_total_time="$SECONDS_EACH" -max_len=65536 -timeout=20 \
        -artifact_prefix="$OUT/crashes/" -dict="$dict" -print_final_stats=1
done
