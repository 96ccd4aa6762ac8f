#!/bin/sh
# Package test: builds the Debian package from a build tree, checks its
# metadata and contents, unpacks it into a scratch root (dpkg -x) and runs
# the installed program; also checks "cmake --install".
#
# usage: ntwpackage_test.sh BUILD_DIR [CPACK]
set -u
build=${1:?usage: ntwpackage_test.sh BUILD_DIR [CPACK]}
cpack=${2:-cpack}
failures=0
scratch=$(mktemp -d /tmp/ntwpackage.XXXXXX) || exit 1
trap 'rm -rf "$scratch"' EXIT
check() { # what, expected, actual
    if [ "$2" = "$3" ]; then echo "ok: $1"; else failures=$((failures + 1)); echo "FAIL: $1: expected '$2', got '$3'"; fi
}

"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; echo "FAIL: cpack"; exit 1; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
deb=$scratch/pkg/zemntwchk_${version}-1_${arch}.deb
check "package file" "$deb" "$(ls "$scratch"/pkg/*.deb)"
check "fields" "zemntwchk ${version}-1 $arch admin optional" \
    "$(for f in Package Version Architecture Section Priority; do dpkg-deb -f "$deb" $f; done | xargs)"
check "summary" "check that a shared file system behaves as ZEMRA needs" "$(dpkg-deb -f "$deb" Description | head -1)"
check "depends on libc6" yes "$(dpkg-deb -f "$deb" Depends | grep -q 'libc6' && echo yes)"
check "dependencies installed" "" "$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*)//; s/|.*//' |
    while read -r dep; do dpkg-query -W -f='${Status}' "$dep" 2>/dev/null | grep -q 'ok installed' || echo "$dep"; done)"
check "contents" "-rw-r--r-- ./usr/share/man/man1/zemntwchk.1.gz -rwxr-xr-x ./usr/bin/zemntwchk" \
    "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | sort -k2 -r | xargs)"
dpkg -x "$deb" "$scratch/root"
check "stripped" "" "$(readelf -S "$scratch/root/usr/bin/zemntwchk" | grep -o '\.debug_info')"
check "manual page renders" "" "$(MANWIDTH=80 man --warnings -l "$scratch/root/usr/share/man/man1/zemntwchk.1.gz" 2>&1 >/dev/null)"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null 2>&1
check "installed manual page" yes "$(test -f "$scratch/prefix/share/man/man1/zemntwchk.1.gz" && echo yes)"
# Both installed programs run and reject an out-of-range time-out with the usage text.
for prog in "$scratch/root/usr/bin/zemntwchk" "$scratch/prefix/bin/zemntwchk"; do
    err=$("$prog" -8 -m single -h /tmp -p /tmp -t 601 2>&1 >/dev/null </dev/null)
    check "$prog: status" 255 "$?"
    check "$prog: usage" "USAGE:zemntwchk {-s|-e|-8} -m single" "$(echo "$err" | head -1 | cut -c1-36)"
done
echo "$failures failed"
[ "$failures" -eq 0 ]
