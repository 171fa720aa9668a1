#!/usr/bin/env bash
# Sets up everything a fresh machine needs to build and test quillfen:
#   1. a CPython >= 3.14 with headers (found on the machine, or built once into a per-user cache),
#   2. the Debian packages the C++ tests and fuzzers need (when running as root),
#   3. the project's .venv with build and test tools from PyPI.
# Safe to run repeatedly: every step is skipped when its result is already there.
# Prints the venv's python path as the last line of its output.
#
#   --ft          the free-threaded interpreter (built with --disable-gil, cached beside the
#                 other) and its venv .venv-ft
#   --venv DIR    another venv of the chosen interpreter (the sanitizer build uses .venv-asan)
set -euo pipefail

CPY_VERSION=3.14.7
CPY_TARBALL="python3.14_${CPY_VERSION}.orig.tar.xz"
# Checksum of the unmodified release tarball; used when the shared copy's SHA256SUMS is absent.
CPY_SHA256=3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81

repo=$(cd "$(dirname "$0")/.." && pwd)
cache="${XDG_CACHE_HOME:-$HOME/.cache}/quillfen"
ft=0
venv_name=
while [ $# -gt 0 ]; do
    case "$1" in
        --ft) ft=1 ;;
        --venv) venv_name=${2:?--venv needs a directory}; shift ;;
        *) echo "bootstrap: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
if [ $ft = 1 ]; then
    prefix="$cache/cpython-$CPY_VERSION-ft"
    exe=python3.14t
    venv="$repo/${venv_name:-.venv-ft}"
else
    prefix="$cache/cpython-$CPY_VERSION"
    exe=python3.14
    venv="$repo/${venv_name:-.venv}"
fi

log() { printf 'bootstrap: %s\n' "$*" >&2; }

# ---------------------------------------------------------------- Debian packages
apt_updated=0
apt_install() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    # As root, or through sudo where it asks no password (CI runners that are not root).
    local as_root=()
    if [ "$(id -u)" != 0 ]; then
        if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
            as_root=(sudo -n)
        else
            log "missing Debian packages (install them as root): ${missing[*]}"
            return 0
        fi
    fi
    if [ $apt_updated = 0 ]; then
        "${as_root[@]}" apt-get update -qq >&2 || log "apt-get update failed; trying the install anyway"
        apt_updated=1
    fi
    log "installing ${missing[*]}"
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}" >&2
}

# ---------------------------------------------------------------- interpreter
has_headers() {  # $1: python; true when it is >= 3.14, ships Python.h and is of the wanted build
    "$1" - "$ft" <<'PY' 2>/dev/null
import os, sys, sysconfig
ok = sys.version_info >= (3, 14) and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
ok = ok and bool(sysconfig.get_config_var("Py_GIL_DISABLED")) == (sys.argv[1] == "1")
sys.exit(0 if ok else 1)
PY
}

find_python() {
    local cand cands
    if [ $ft = 1 ]; then
        cands=("${PYTHON_FT:-}" python3.14t "$prefix/bin/$exe")
    else
        cands=("${PYTHON:-}" python3.14 python3 "$prefix/bin/$exe")
    fi
    for cand in "${cands[@]}"; do
        [ -n "$cand" ] || continue
        cand=$(command -v "$cand" 2>/dev/null) || continue
        if has_headers "$cand"; then
            echo "$cand"
            return 0
        fi
    done
    return 1
}

debian_mirrors() {  # every archive URI that apt on this machine is configured with
    {
        grep -h -E '^[[:space:]]*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -E 's/^[[:space:]]*URIs:[[:space:]]*//' | tr ' ' '\n'
        grep -h -E '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
            | sed -E 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//' | awk '{print $1}'
    } | grep -E '^https?://' | grep -v -- '-security' | sort -u
}

fetch_tarball() {  # $1: destination file
    local shared="$repo/../shared/cpython"
    if [ -f "$shared/$CPY_TARBALL" ]; then
        log "using $CPY_TARBALL from ../shared/cpython"
        cp "$shared/$CPY_TARBALL" "$1"
        if [ -f "$shared/SHA256SUMS" ]; then
            (cd "$(dirname "$1")" && grep " $CPY_TARBALL\$" "$shared/SHA256SUMS" | sha256sum -c - >&2)
            return
        fi
    else
        local uri fetched=0
        for uri in $(debian_mirrors); do
            log "fetching $CPY_TARBALL from the Debian archive at $uri"
            if curl -fsSL --retry 2 -o "$1" "${uri%/}/pool/main/p/python3.14/$CPY_TARBALL"; then
                fetched=1
                break
            fi
        done
        [ $fetched = 1 ] || { log "could not fetch $CPY_TARBALL from any configured Debian mirror"; exit 1; }
    fi
    echo "$CPY_SHA256  $1" | sha256sum -c - >&2
}

build_cpython() {
    apt_install build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
        libsqlite3-dev libreadline-dev uuid-dev curl xz-utils
    local work="$cache/build-${prefix##*/cpython-}" flags=()
    [ $ft = 1 ] && flags=(--disable-gil)
    rm -rf "$work" && mkdir -p "$work"
    fetch_tarball "$work/$CPY_TARBALL"
    log "building CPython $CPY_VERSION into $prefix (takes a few minutes, once)"
    tar -xJf "$work/$CPY_TARBALL" -C "$work"
    local src
    src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'Python-*' | head -n 1)
    (
        cd "$src"
        ./configure --prefix="$prefix" --with-ensurepip=install "${flags[@]}" >"$work/configure.log" 2>&1
        make -j"$(nproc)" >"$work/make.log" 2>&1
        make install >"$work/install.log" 2>&1
    ) || { log "CPython build failed; logs in $work"; exit 1; }
    rm -rf "$work"
}

mkdir -p "$cache"
# One bootstrap per interpreter at a time: parallel runs would build it twice. The two
# interpreters lock apart, so building the free-threaded one keeps no one from the other.
exec 9>"$cache/bootstrap${prefix##*/cpython-$CPY_VERSION}.lock"
flock 9

if ! python=$(find_python); then
    build_cpython
    python=$(find_python) || { log "built CPython but it has no headers?"; exit 1; }
fi
log "interpreter: $python"

# C++ tests, sanitizers and the fuzzer (clang 16: older clangs cannot compile <expected> from libstdc++ 12);
# LibreOffice without a display, an independent client that opens the workbooks the tests save,
# and its UNO bridge for the system python3, through which the tests drive it as an oracle.
apt_install libgtest-dev clang-16 libclang-rt-16-dev libreoffice-calc-nogui python3-uno

# ---------------------------------------------------------------- venv
stamp="$venv/.quillfen-bootstrap"
want="$python $(sha256sum "$repo/scripts/requirements-dev.txt" | cut -c1-16)"
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip >&2
    if [ $ft = 1 ]; then
        # Some tools have no free-threaded build (polars ships abi3 wheels only, which this
        # interpreter cannot load, and building it needs Rust): each is taken from a wheel if
        # one exists, else left out, and the tests that need it skip.
        sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$repo/scripts/requirements-dev.txt" | while read -r req; do
            "$venv/bin/python" -m pip install -q --only-binary :all: "$req" >&2 2>/dev/null \
                || log "no free-threaded wheel of $req: the tests that need it skip"
        done
    else
        "$venv/bin/python" -m pip install -q -r "$repo/scripts/requirements-dev.txt" >&2
    fi
    echo "$want" >"$stamp"
fi
echo "$venv/bin/python"
