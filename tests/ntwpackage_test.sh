#!/bin/sh
# Package test: builds the Debian package from a build tree, checks its
# metadata and contents, unpacks it into a scratch root (dpkg -x) and runs
# the installed program.
#
# usage: ntwpackage_test.sh BUILD_DIR [CPACK]
set -u
build=${1:?usage: ntwpackage_test.sh BUILD_DIR [CPACK]}
failures=0
scratch=$(mktemp -d /tmp/ntwpackage.XXXXXX) || exit 1
trap 'rm -rf "$scratch"' EXIT
check() { # what, expected, actual
    if [ "$2" = "$3" ]; then echo "ok: $1"; else failures=$((failures + 1)); echo "FAIL: $1: expected '$2', got '$3'"; fi
}

"${2:-cpack}" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; echo "FAIL: cpack"; exit 1; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$scratch/pkg/zemntwchk_${version}-1_$(dpkg --print-architecture).deb
check "fields and summary" "zemntwchk ${version}-1 admin optional / check that a shared file system behaves as ZEMRA needs" \
    "$(for f in Package Version Section Priority; do dpkg-deb -f "$deb" $f; done | xargs) / $(dpkg-deb -f "$deb" Description | head -1)"
# The dependencies (alternatives and versions left out) include libc6 and are installed packages.
deps=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*)//; s/|.*//' | xargs)
check "dependencies" "" "$(echo " $deps " | grep -q ' libc6 ' || echo 'no libc6'; dpkg-query -W -f='${Status}\n' $deps 2>&1 | grep -v 'ok installed$')"
check "contents" "-rw-r--r-- ./usr/share/man/man1/zemntwchk.1.gz -rwxr-xr-x ./usr/bin/zemntwchk" \
    "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | sort -k2 -r | xargs)"
dpkg -x "$deb" "$scratch/root"
check "stripped" "" "$(readelf -S "$scratch/root/usr/bin/zemntwchk" | grep -o '\.debug_info')"
# The installed program runs and rejects an out-of-range time-out with the usage text.
err=$("$scratch/root/usr/bin/zemntwchk" -8 -m single -h /tmp -p /tmp -t 601 2>&1 >/dev/null </dev/null)
check "status and usage" "255 USAGE:zemntwchk {-s|-e|-8} -m single" "$? $(echo "$err" | head -1 | cut -c1-36)"
[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
