#!/usr/bin/env bash
# Builds the Debian packages into build/packages/: libondira1, libondira-dev,
# ondira-tools and python3-ondira (cmake/Debian.cmake), from the preset
# "package" (prefix /usr, optimised, no tests or benchmarks) in
# build/package/. Install them with: apt install ./build/packages/*.deb
#
# The packages are reproducible: SOURCE_DATE_EPOCH (the last commit's time
# unless set) dates every file in them, the changelog and the man pages. A
# commit that is not tagged v<version> gives a snapshot version,
# <version>+git<date>.<time>.<commit>, so that each build upgrades the one
# before it.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh

umask 022
suffix=""
if git rev-parse --git-dir >/dev/null 2>&1; then
    export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"
    if ! git describe --tags --exact-match --match 'v[0-9]*' HEAD >/dev/null 2>&1; then
        suffix="+git$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y%m%d.%H%M%S).$(git rev-parse --short=10 HEAD)"
    fi
    if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
        echo "package.sh: the work tree has uncommitted changes: the packages hold them, but their" \
             "version names commit $(git rev-parse --short=10 HEAD)." >&2
    fi
elif [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    echo "package.sh: not a git work tree: set SOURCE_DATE_EPOCH to date the packages." >&2
    exit 2
fi

cmake --preset package -DONDIRA_PACKAGE_VERSION_SUFFIX="$suffix"
cmake --build --preset package --parallel "$(nproc)"

rm -rf build/packages
(cd build/package && cpack -D CPACK_OUTPUT_FILE_PREFIX="$PWD/../packages")
echo
echo "Packages (apt install ./build/packages/*.deb):"
ls -1 build/packages/*.deb | sed 's/^/  /'
