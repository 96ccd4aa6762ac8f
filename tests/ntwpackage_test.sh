#!/bin/sh
# Package test: builds the Debian package from a build tree, checks its
# metadata and contents, unpacks it into a scratch root (dpkg -x) and runs
# the installed program's usage check; also checks "cmake --install".
#
# usage: ntwpackage_test.sh BUILD_DIR [CPACK]
set -u

build=${1:?usage: ntwpackage_test.sh BUILD_DIR [CPACK]}
cpack=${2:-cpack}
failures=0
checks=0

scratch=$(mktemp -d /tmp/ntwpackage.XXXXXX) || exit 1
trap 'rm -rf "$scratch"' EXIT

pass() { checks=$((checks + 1)); echo "ok: $1"; }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAIL: $1"; }
expect_eq() { # what, expected, actual
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected '$2', got '$3'"; fi
}

# The exact usage text that a rejected command line writes to standard error.
printf '%s\n%s\n%s\n' \
    'USAGE:zemntwchk {-s|-e|-8} -m single -p targetpath -h zemsharepath [-O Owner [-G Group]] [-o logfile] [-t timeout]' \
    '      zemntwchk {-s|-e|-8} -m double -p targetpath -h zemsharepath [-O Owner [-G Group]] [-o logfile] [-t timeout]' \
    '      zemntwchk {-s|-e|-8} -m userapl -f targetfile [-o logfile] [-t timeout]' \
    >"$scratch/usage.expected"

# Runs an installed program with the given arguments; the command line must
# be rejected: status 255, nothing on standard output, the usage on stderr.
check_usage() { # label, program, args...
    label=$1
    prog=$2
    shift 2
    "$prog" "$@" >"$scratch/out" 2>"$scratch/err" </dev/null
    expect_eq "$label: exit status" 255 "$?"
    if [ -s "$scratch/out" ]; then fail "$label: standard output not empty"; else pass "$label: standard output empty"; fi
    if cmp -s "$scratch/usage.expected" "$scratch/err"; then
        pass "$label: usage text on standard error"
    else
        fail "$label: standard error differs from the usage text:"
        diff "$scratch/usage.expected" "$scratch/err" | head -20
    fi
}

# --- the package ----------------------------------------------------------
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out.pkg" \
        >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"
    echo "FAIL: cpack could not build the package"
    exit 1
fi
set -- "$scratch"/out.pkg/*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "FAIL: expected exactly one .deb, found: $*"
    exit 1
fi
deb=$1
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
expect_eq "file name" "zemntwchk_${version}-1_${arch}.deb" "$(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
expect_eq "Package" zemntwchk "$(field Package)"
expect_eq "Version" "${version}-1" "$(field Version)"
expect_eq "Architecture" "$arch" "$(field Architecture)"
expect_eq "Section" admin "$(field Section)"
expect_eq "Priority" optional "$(field Priority)"
case $(field Maintainer) in
*?' <'?*@?*'>') pass "Maintainer is 'Name <address>'" ;;
*) fail "Maintainer is not 'Name <address>': $(field Maintainer)" ;;
esac
expect_eq "Description summary" "check that a shared file system behaves as ZEMRA needs" \
    "$(field Description | head -1)"
case $(field Description | sed -n 2p) in
' zemntwchk proves'*) pass "Description has a long text below the summary" ;;
*) fail "Description lacks the long text: $(field Description | sed -n 2p)" ;;
esac

# Every dependency is named, and each is a package installed here (the
# program runs here, so what it needs is here).
depends=$(field Depends)
for lib in libc6 libstdc++6; do
    case ", $depends" in
    *", $lib "* | *", $lib,"* | *", $lib") pass "Depends names $lib" ;;
    *) fail "Depends does not name $lib: $depends" ;;
    esac
done
for dep in $(echo "$depends" | tr ',' '\n' | sed 's/(.*)//; s/|.*//; s/:.*//'); do
    if dpkg-query -W -f='${Status}' "$dep" 2>/dev/null | grep -q 'install ok installed'; then
        pass "dependency $dep is a known, installed package"
    else
        fail "dependency $dep is not an installed package"
    fi
done

# Contents: the program and the compressed manual page, nothing else.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort >"$scratch/contents"
printf '%s\n' \
    '-rw-r--r-- root/root ./usr/share/man/man1/zemntwchk.1.gz' \
    '-rwxr-xr-x root/root ./usr/bin/zemntwchk' | sort >"$scratch/contents.expected"
if cmp -s "$scratch/contents.expected" "$scratch/contents"; then
    pass "package contents"
else
    fail "package contents differ:"
    diff "$scratch/contents.expected" "$scratch/contents"
fi

# Unpacked into a scratch root, the program runs and rejects bad command lines.
root=$scratch/root
dpkg -x "$deb" "$root"
if command -v readelf >/dev/null 2>&1; then
    if readelf -S "$root/usr/bin/zemntwchk" | grep -q '\.debug_info'; then
        fail "packaged program still carries debug information"
    else
        pass "packaged program is stripped"
    fi
fi
check_usage "packaged, no arguments" "$root/usr/bin/zemntwchk"
check_usage "packaged, no code set" "$root/usr/bin/zemntwchk" -m single -h /tmp -p /tmp
check_usage "packaged, -t out of range" "$root/usr/bin/zemntwchk" -8 -m single -h /tmp -p /tmp -t 601

man_gz=$root/usr/share/man/man1/zemntwchk.1.gz
if gzip -t "$man_gz" 2>/dev/null; then pass "manual page is gzip data"; else fail "manual page is not gzip data"; fi
if command -v man >/dev/null 2>&1; then
    if MANWIDTH=80 man --warnings -l "$man_gz" >"$scratch/man.txt" 2>"$scratch/man.err" &&
        [ ! -s "$scratch/man.err" ] && grep -q 'zemntwchk' "$scratch/man.txt"; then
        pass "manual page renders without warnings"
    else
        fail "manual page does not render cleanly:"
        cat "$scratch/man.err"
    fi
fi

# --- cmake --install --------------------------------------------------------
if cmake --install "$build" --prefix "$scratch/prefix" >"$scratch/install.log" 2>&1; then
    pass "cmake --install"
else
    cat "$scratch/install.log"
    fail "cmake --install"
fi
if [ -f "$scratch/prefix/share/man/man1/zemntwchk.1.gz" ]; then
    pass "cmake --install installs the manual page"
else
    fail "cmake --install did not install share/man/man1/zemntwchk.1.gz"
fi
check_usage "installed, no arguments" "$scratch/prefix/bin/zemntwchk"

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
