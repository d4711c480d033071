#!/usr/bin/env bash
# Builds the Debian packages twice from the same commit (default: HEAD), each
# time in a fresh clone at a different path, with a different time zone,
# locale and time of day, and compares the .deb files byte for byte. Where
# they differ, it says which files inside differ and how.
# Usage: scripts/check-reproducible.sh [COMMIT]
# Takes two full builds of the package preset, compiled afresh (ccache is
# bypassed: objects from its cache would make both builds alike by
# construction); the clones live in a temporary folder that is removed
# afterwards (KEEP=1 keeps it).
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_DISABLE=1

commit=$(git rev-parse --verify "${1:-HEAD}^{commit}")
work=$(mktemp -d)
[ -n "${KEEP:-}" ] || trap 'rm -rf "$work"' EXIT

build() { # folder, time zone, locale
    git clone --quiet --no-hardlinks "$PWD" "$work/$1"
    git -C "$work/$1" checkout --quiet --detach "$commit"
    echo "== Building $commit in $work/$1 (TZ=$2, LC_ALL=$3)"
    (cd "$work/$1" && TZ=$2 LC_ALL=$3 ./scripts/package.sh >"$work/$1.log" 2>&1) || {
        tail -40 "$work/$1.log"
        echo "check-reproducible.sh: the build in $work/$1 failed" >&2
        exit 1
    }
}
build first UTC C.UTF-8
build second-build-at-another-path Pacific/Auckland C

same=1
for deb in "$work"/first/build/packages/*.deb; do
    name=$(basename "$deb")
    other="$work/second-build-at-another-path/build/packages/$name"
    if [ ! -f "$other" ]; then
        echo "only in the first build: $name"
        same=0
    elif cmp -s "$deb" "$other"; then
        echo "identical: $name ($(sha256sum <"$deb" | cut -c1-16))"
    else
        same=0
        echo "DIFFERENT: $name"
        if command -v diffoscope >/dev/null 2>&1; then
            diffoscope "$deb" "$other" | head -100 || true
        else
            for side in a b; do
                [ "$side" = a ] && file=$deb || file=$other
                mkdir -p "$work/diff/$side/control"
                dpkg-deb -x "$file" "$work/diff/$side/data"
                dpkg-deb -e "$file" "$work/diff/$side/control"
                dpkg-deb --ctrl-tarfile "$file" | tar -tv --full-time >"$work/diff/$side/control.list"
                dpkg-deb --fsys-tarfile "$file" | tar -tv --full-time >"$work/diff/$side/data.list"
            done
            diff -r "$work/diff/a" "$work/diff/b" | head -60 || true
            rm -rf "$work/diff"
        fi
    fi
done
if [ "$same" -eq 1 ]; then
    echo "check-reproducible.sh: both builds gave byte-identical packages"
else
    echo "check-reproducible.sh: the packages differ (above)" >&2
    exit 1
fi
