#!/usr/bin/env bash
# The .deb that CPack makes of the build tree, into a scratch directory:
# exactly the installed files, owned by root, its control fields, and the
# maintainer scripts.
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
debs=("$out"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "cpack made no single package: ${debs[*]}"
    exit 1
fi
deb=${debs[0]}

# dpkg-deb -c: permissions, owner, size, date, time, ./path
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' <<<"$listing")
expected=$(package_files "$prefix" "$bindir" "$libdir" "$mandir")
for f in $expected; do
    grep -qxF "$f" <<<"$files" || fail "the package lacks /$f"
done
for f in $files; do
    grep -qxF "$f" <<<"$expected" || fail "the package holds /$f, which is not one of its files"
done
others=$(awk '$2 != "root/root" { print $6 }' <<<"$listing")
[ -z "$others" ] || fail "not owned by root/root: $others"
for name in tarvex-server tarvex-cli tarvex-gdbserver tarvex-vprobe; do
    grep -Eq "^-rwxr-xr-x .* \./${bindir#/}/$name\$" <<<"$listing" || fail "$bindir/$name is not mode 0755"
done

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tarvex-server ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), the project is $version"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
[ -n "$(field Description)" ] || fail "no Description"
# Names only, without version constraints.
depends=$(field Depends | tr ',' '\n' | sed 's/(.*//; s/ //g')
for p in libusb-1.0-0 libumockdev0 umockdev passwd libc6; do
    grep -qxF "$p" <<<"$depends" || fail "Depends lacks $p: $(field Depends)"
done

dpkg-deb -e "$deb" "$out/control"
for s in postinst prerm postrm; do
    [ -x "$out/control/$s" ] || fail "the package has no executable $s"
    cmp -s "$out/control/$s" "$scripts/$s" || fail "the package's $s differs from $scripts/$s"
done

finish "package $(basename "$deb")"
