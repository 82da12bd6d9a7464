#!/usr/bin/env bash
# The .debs that CPack makes of the build tree, into a scratch directory:
# tarvex-server and tarvex-vprobe, each with exactly its files, owned by
# root, its control fields and dependencies (a probe host's package pulls
# in neither umockdev nor Unicorn), and the server's maintainer scripts.
#   check_deb.sh CPACK BUILD_DIR PREFIX BINDIR LIBDIR MANDIR VERSION SCRIPTS_DIR
set -u
. "$(dirname "$0")/package_files.sh"
cpack=$1 build=$2 prefix=$3 bindir=$4 libdir=$5 mandir=$6 version=$7 scripts=$8

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# cpack first brings the tree up to date (its preinstall step); after a
# build that is a check of a few seconds.
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log" >&2
    fail "cpack failed"
fi
debs=$(cd "$out" && ls ./*.deb 2>/dev/null | sed 's#^\./##' | sort | tr '\n' ' ')
[ "$debs" = "tarvex-server_${version}_amd64.deb tarvex-vprobe_${version}_amd64.deb " ] ||
    [ "$(dpkg --print-architecture)" != amd64 ] || fail "cpack made: $debs"

field() { dpkg-deb -f "$1" "$2"; }

# check_package NAME PROGRAMS REQUIRED_DEPENDS FORBIDDEN_DEPENDS
check_package() {
    local name=$1 programs=$2 required=$3 forbidden=$4 deb listing files expected f p depends others
    deb=$(ls "$out/${name}_"*.deb 2>/dev/null | head -1)
    if [ -z "$deb" ]; then
        fail "no package $name"
        return
    fi
    # dpkg-deb -c: permissions, owner, size, date, time, ./path
    listing=$(dpkg-deb -c "$deb")
    files=$(awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' <<<"$listing")
    expected=$(package_files_of "$name" "$prefix" "$bindir" "$libdir" "$mandir")
    for f in $expected; do
        grep -qxF "$f" <<<"$files" || fail "$name lacks /$f"
    done
    for f in $files; do
        grep -qxF "$f" <<<"$expected" || fail "$name holds /$f, which is not one of its files"
    done
    others=$(awk '$2 != "root/root" { print $6 }' <<<"$listing")
    [ -z "$others" ] || fail "$name: not owned by root/root: $others"
    for p in $programs; do
        grep -Eq "^-rwxr-xr-x .* \./${bindir#/}/$p\$" <<<"$listing" || fail "$bindir/$p is not mode 0755"
    done
    [ "$(field "$deb" Package)" = "$name" ] || fail "Package: $(field "$deb" Package)"
    [ "$(field "$deb" Version)" = "$version" ] || fail "$name Version: $(field "$deb" Version), the project is $version"
    [[ "$(field "$deb" Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "$name Maintainer: $(field "$deb" Maintainer)"
    [ -n "$(field "$deb" Description)" ] || fail "$name has no Description"
    # Names only, without version constraints.
    depends=$(field "$deb" Depends | tr ',' '\n' | sed 's/(.*//; s/ //g')
    for p in $required; do
        grep -qxF "$p" <<<"$depends" || fail "$name Depends lacks $p: $(field "$deb" Depends)"
    done
    for p in $forbidden; do
        ! grep -q "^$p" <<<"$depends" || fail "$name depends on $p: $(field "$deb" Depends)"
    done
    dpkg-deb -e "$deb" "$out/control-$name"
}

check_package tarvex-server "tarvex-server tarvex-cli tarvex-gdbserver" "libusb-1.0-0 passwd libc6" \
    "umockdev libumockdev libunicorn"
check_package tarvex-vprobe tarvex-vprobe "libumockdev0 umockdev libc6" ""

for s in postinst prerm postrm; do
    [ -x "$out/control-tarvex-server/$s" ] || fail "tarvex-server has no executable $s"
    cmp -s "$out/control-tarvex-server/$s" "$scripts/$s" || fail "tarvex-server's $s differs from $scripts/$s"
    [ ! -e "$out/control-tarvex-vprobe/$s" ] || fail "tarvex-vprobe has a $s: it needs no account, unit or rule"
done

finish "packages $debs"
