#!/usr/bin/env bash
# `cmake --install` of the build tree into a scratch DESTDIR: every file in
# place, the installed programs run, and the installed launcher preloads the
# fast library from where the install put it, not from the build tree.
#   check_install.sh CMAKE BUILD_DIR PREFIX BINDIR LIBDIR MANDIR MAPPED_OBJECT
set -u
. "$(dirname "$0")/package_files.sh"
cmake=$1 build=$2 prefix=$3 bindir=$4 libdir=$5 mandir=$6 mapped_object=$7

dest=$(mktemp -d)
trap 'rm -rf "$dest" "$dest.log"' EXIT
if ! DESTDIR="$dest" "$cmake" --install "$build" >"$dest.log" 2>&1; then
    cat "$dest.log" >&2
    fail "cmake --install failed"
fi

for f in $(package_files "$prefix" "$bindir" "$libdir" "$mandir"); do
    [ -f "$dest/$f" ] || fail "cmake --install left out /$f"
done
for name in tarvex-server tarvex-cli tarvex-gdbserver tarvex-vprobe; do
    [ -x "$dest$bindir/$name" ] || fail "$bindir/$name is not executable"
    gzip -t "$dest$mandir/man1/$name.1.gz" 2>/dev/null || fail "$mandir/man1/$name.1.gz is not a gzip file"
done

version=$("$dest$bindir/tarvex-server" --version 2>&1)
case "$version" in
"tarvex-server v"*) ;;
*) fail "the installed server's --version printed: $version" ;;
esac
"$dest$bindir/tarvex-cli" --help >/dev/null || fail "the installed tarvex-cli --help failed"
"$dest$bindir/tarvex-gdbserver" --help >/dev/null || fail "the installed tarvex-gdbserver --help failed"

grep -qxF "ExecStart=$bindir/tarvex-server --allow-group tarvex --hold-max 3600 --http 127.0.0.1:9184" "$dest$prefix/lib/systemd/system/tarvex-server.service" ||
    fail "the installed unit does not start $bindir/tarvex-server"

expected=$(realpath -m "$dest$libdir/tarvex/libtarvex-vprobe-fast.so")
mapped=$("$dest$bindir/tarvex-vprobe" --fast -- "$mapped_object" libtarvex-vprobe-fast.so 2>"$dest.log")
[ -n "$mapped" ] && [ "$mapped" = "$expected" ] ||
    fail "the installed launcher preloaded '${mapped:-nothing}' instead of $expected: $(cat "$dest.log")"

finish "install into DESTDIR"
