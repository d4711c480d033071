#!/usr/bin/env bash
# Builds the Debian packages (scripts/package.sh) and checks them as a lab
# machine uses them: lintian; every installed file in exactly one package and
# under the project's own paths; then installed into this machine with
# apt-get, used from the installed files only (ondira record --simulate,
# ondira-view --screenshot, import ondira, the example built against
# libondira-dev with CMake and with pkg-config, man pages), upgraded to a next
# build with a lab's own udev rule in place, removed and purged, after which
# no file of the packages remains. Installing needs root (or sudo). The
# packages are purged again on every exit, also when a check fails.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(libondira1 libondira-dev ondira-tools python3-ondira)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=/usr/lib/$multiarch
lab_rule=/etc/udev/rules.d/70-ondira.rules

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "check-packages.sh: installing the packages needs root or sudo." >&2
    exit 2
fi
apt_get() { "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@"; }

fail() {
    echo "check-packages.sh: FAILED: $*" >&2
    exit 1
}
installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q " installed$"; }
# Known to dpkg in any state but purged (installed, half-installed, config-files).
known() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -qv " not-installed$"; }

for package in "${packages[@]}"; do
    if installed "$package"; then
        echo "check-packages.sh: $package is installed already: purge it first (apt-get purge $package)." >&2
        exit 2
    fi
done

work=$(mktemp -d)
created_lab_rule=
created_rules_dir=
cleanup() {
    local present=()
    for package in "${packages[@]}"; do
        if known "$package"; then
            present+=("$package")
        fi
    done
    [ "${#present[@]}" -eq 0 ] || apt_get purge "${present[@]}" >/dev/null || true
    [ -z "$created_lab_rule" ] || "${as_root[@]}" rm -f "$lab_rule"
    [ -z "$created_rules_dir" ] || "${as_root[@]}" rm -r "$created_rules_dir"
    rm -rf "$work"
}
trap cleanup EXIT

step() { echo; echo "== $*"; }

step "Building the packages"
./scripts/package.sh
debs=(build/packages/*.deb)
[ "${#debs[@]}" -eq "${#packages[@]}" ] || fail "expected ${#packages[@]} packages, found: ${debs[*]}"
version=$(dpkg-deb -f build/packages/libondira1_*.deb Version)

step "lintian: no error, no warning that is not overridden with its reason"
lintian_status=0
lintian --fail-on error,warning --display-info "${debs[@]}" >"$work/lintian.txt" 2>&1 || lintian_status=$?
grep -v '^running with root privileges' "$work/lintian.txt" || true
[ "$lintian_status" -eq 0 ] || fail "lintian (status $lintian_status)"

step "Every installed file is in exactly one package, under the project's own paths"
DESTDIR="$work/all" cmake --install build/package >/dev/null
(cd "$work/all" && find . ! -type d | sed 's,^\.,,' | sort) >"$work/installed.txt"
for deb in "${debs[@]}"; do
    dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's,^\.,,'
done | sort >"$work/packaged.txt"
if ! diff -u "$work/installed.txt" "$work/packaged.txt"; then
    fail "the install rules and the packages differ (- installed only, + packaged only, or twice)"
fi
own_paths="^(/usr/bin/ondira(-view)?|$libdir/libondira\.so(\.[0-9.]+)?|$libdir/ondira/sim/[^/]+"
own_paths+="|$libdir/cmake/Ondira/[^/]+|$libdir/pkgconfig/ondira\.pc|/usr/include/ondira/[^/]+"
own_paths+="|/usr/lib/python3/dist-packages/ondira/[^/]+|/usr/share/man/man1/ondira(-view)?\.1\.gz"
own_paths+="|/usr/share/(doc|lintian/overrides)/(libondira1|libondira-dev|ondira-tools|python3-ondira)(/.+)?"
own_paths+="|/lib/udev/rules\.d/70-ondira\.rules)$"
if grep -Ev "$own_paths" "$work/packaged.txt"; then
    fail "files outside the project's own paths (above)"
fi
echo "$(wc -l <"$work/packaged.txt") files, each in one package"

step "apt-get install ./build/packages/*.deb"
apt_get install ./build/packages/*.deb >/dev/null
for package in "${packages[@]}"; do
    installed "$package" || fail "$package is not installed"
    [ -z "$(dpkg-query -W -f='${Conffiles}' "$package")" ] || fail "$package has configuration files"
done
"${as_root[@]}" dpkg --verify "${packages[@]}" || fail "dpkg --verify"
dpkg-query -W "${packages[@]}"

# From here on, only the installed files: a folder of its own, no variable
# that points at a build tree or a driver.
mkdir "$work/run"
cd "$work/run"
unset ONDIRA_FTD2XX_LIBRARY ONDIRA_SIM PYTHONPATH LD_LIBRARY_PATH

step "ondira record --simulate --seconds 2"
[ "$(command -v ondira)" = /usr/bin/ondira ] || fail "ondira is $(command -v ondira), not /usr/bin/ondira"
loaded=$(ldd /usr/bin/ondira | sed -n 's/^[[:space:]]*libondira\.so\.1 => \([^ ]*\) .*/\1/p')
[ "$(realpath "$loaded")" = "$(realpath "$libdir/libondira.so.1")" ] ||
    fail "ondira loads libondira.so.1 from '$loaded'"
ondira record --simulate --seconds 2 --output "$work/run/recording"
for file in recording.edf recording.csv recording.events.csv recording.png; do
    [ -s "$file" ] || fail "ondira record wrote no $file"
done
rows=$(($(wc -l <recording.csv) - 1))
[ "$rows" -ge 500 ] || fail "recording.csv holds $rows samples, not the 500 of 2 s"

step "ondira-view --simulate --screenshot (offscreen)"
QT_QPA_PLATFORM=offscreen ondira-view --simulate --screenshot "$work/run/view.png" --after 2
file view.png | grep -Eq 'PNG image data, [0-9]{3,} x [0-9]{3,}' || fail "view.png: $(file view.png)"
file view.png

step "import ondira (Debian's /usr/bin/python3)"
/usr/bin/python3 -c "import ondira"
/usr/bin/python3 - "$libdir" <<'EOF'
import os, sys
import ondira
libdir = sys.argv[1]
assert ondira.__file__ == "/usr/lib/python3/dist-packages/ondira/__init__.py", ondira.__file__
with ondira.Headset(simulate=True, sim="fast=1") as h:
    h.start()
    chunk = h.read(seconds=0.2)
assert len(chunk) == 50, len(chunk)
with open("/proc/self/maps") as maps:
    loaded = {line.split()[-1] for line in maps if "libondira.so" in line or "libFtd2xx.so" in line}
expected = {os.path.realpath(libdir + "/libondira.so.1"), libdir + "/ondira/sim/libFtd2xx.so"}
assert {os.path.realpath(p) for p in loaded} == expected, loaded
print("import ondira:", ondira.__file__, "streamed", len(chunk), "samples through", sorted(loaded))
EOF

step "The installed example against libondira-dev: find_package(Ondira) and pkg-config"
cp -r /usr/share/doc/libondira-dev/examples/minimal "$work/minimal"
cmake -S "$work/minimal" -B "$work/minimal-build" -G Ninja >/dev/null
cmake --build "$work/minimal-build" >/dev/null
g++ -std=c++17 "$work/minimal/main.cpp" -o "$work/minimal-pkgconfig" $(pkg-config --cflags --libs ondira)
echo "pkg-config --cflags --libs ondira: $(pkg-config --cflags --libs ondira)"
for program in "$work/minimal-build/ondira_minimal" "$work/minimal-pkgconfig"; do
    out=$(ONDIRA_FTD2XX_LIBRARY="$libdir/ondira/sim/libFtd2xx.so" "$program" 1 2>"$work/minimal.err")
    received=$(echo "$out" | sed -n 's/^\([0-9]*\) samples received$/\1/p')
    [ "${received:-0}" -ge 100 ] || fail "$program: $out $(cat "$work/minimal.err")"
    echo "$program: $received samples in 1 s"
done

step "man ondira, man ondira-view"
if grep -qs '^path-exclude=*/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
    echo "skipped: this machine's dpkg leaves out /usr/share/man (/etc/dpkg/dpkg.cfg.d)"
else
    MANWIDTH=100 man -P cat ondira | grep -q -- "--reconnect" || fail "man ondira"
    MANWIDTH=100 man -P cat ondira-view | grep -q -- "--screenshot" || fail "man ondira-view"
    echo "$(man -w ondira) $(man -w ondira-view)"
fi
[ -f /lib/udev/rules.d/70-ondira.rules ] || fail "no udev rule"
cd - >/dev/null

step "Upgrade to a next build: a lab's own udev rule stays as it is"
if [ -e "$lab_rule" ]; then
    echo "keeping this machine's own $lab_rule out of the check"
else
    # A machine without udev has no /etc/udev: make it, and remove it again.
    if [ ! -d /etc/udev ]; then
        created_rules_dir=/etc/udev
    fi
    "${as_root[@]}" mkdir -p "$(dirname "$lab_rule")"
    printf '%s\n' '# A lab narrowed the rule to its dongle.' \
        'SUBSYSTEM=="usb", ATTR{idVendor}=="0403", ATTR{idProduct}=="6015", ATTR{serial}=="LAB1", \' \
        '  TAG+="uaccess"' | "${as_root[@]}" tee "$lab_rule" >/dev/null
    created_lab_rule=1
fi
lab_rule_sum=$(sha256sum "$lab_rule" 2>/dev/null || true)
suffix=${version#"${version%%+*}"}
cmake --preset package -DONDIRA_PACKAGE_VERSION_SUFFIX="$suffix.1" >/dev/null
cmake --build --preset package >/dev/null
(cd build/package && cpack -D CPACK_OUTPUT_FILE_PREFIX="$work/next" >/dev/null)
cmake --preset package -DONDIRA_PACKAGE_VERSION_SUFFIX="$suffix" >/dev/null
cmake --build --preset package >/dev/null
apt_get install "$work"/next/*.deb >/dev/null
for package in "${packages[@]}"; do
    [ "$(dpkg-query -W -f='${Version}' "$package")" = "$version.1" ] || fail "$package was not upgraded to $version.1"
done
[ "$(sha256sum "$lab_rule" 2>/dev/null || true)" = "$lab_rule_sum" ] || fail "the upgrade changed $lab_rule"
ondira --version
dpkg-query -W "${packages[@]}"

step "apt-get remove, then apt-get purge: nothing of the packages remains"
for package in "${packages[@]}"; do
    dpkg-query -L "$package"
done | sort -u >"$work/owned.txt"
# Every path the packages held is gone, or a folder that another package
# owns too; dpkg -S knows none of them as ours.
nothing_left() {
    local left=0 path
    while read -r path; do
        [ -n "$path" ] && [ "$path" != "/." ] || continue
        if [ -d "$path" ]; then
            if ! dpkg -S "$path" >/dev/null 2>&1; then
                echo "left behind: $path/ ($(ls -A "$path" | head -5 | tr '\n' ' '))"
                left=1
            fi
        elif [ -e "$path" ] || [ -L "$path" ] || dpkg -S "$path" >/dev/null 2>&1; then
            echo "left behind: $path"
            left=1
        fi
    done <"$work/owned.txt"
    [ "$left" -eq 0 ] || fail "files of the packages remain after apt-get $1"
    if [ -n "$created_lab_rule" ]; then
        [ "$(sha256sum "$lab_rule")" = "$lab_rule_sum" ] || fail "apt-get $1 changed $lab_rule"
    fi
    echo "apt-get $1: $(wc -l <"$work/owned.txt") paths checked, no file left, dpkg -S finds none"
}
apt_get remove "${packages[@]}" >/dev/null
nothing_left remove
# What remains known to dpkg (a package with a postrm) is purged.
remaining=()
for package in "${packages[@]}"; do
    ! known "$package" || remaining+=("$package")
done
[ "${#remaining[@]}" -eq 0 ] || apt_get purge "${remaining[@]}" >/dev/null
for package in "${packages[@]}"; do
    ! known "$package" || fail "$package is still known to dpkg: $(dpkg-query -W -f='${Status}' "$package")"
done
nothing_left purge

echo
echo "check-packages.sh: all checks passed ($version)"
