# Shared by the package checks: the files an install and the .deb hold, and
# how a check reports a failure and ends.

failures=0

# Reports one failure; the check goes on, so one run shows all of them.
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Ends the check: status 1 after any failure.
finish() {
    [ "$failures" -eq 0 ] && echo "$1: all checks passed"
    [ "$failures" -eq 0 ]
}

# The installed files, without the leading "/", one a line:
#   package_files PREFIX BINDIR LIBDIR MANDIR   (absolute install paths)
package_files() {
    local prefix=${1#/} bindir=${2#/} libdir=${3#/} mandir=${4#/} name
    for name in tarvex-server tarvex-cli tarvex-gdbserver tarvex-vprobe; do
        echo "$bindir/$name"
        echo "$mandir/man1/$name.1.gz"
    done
    echo "$libdir/tarvex/libtarvex-vprobe-fast.so"
    echo "$prefix/lib/udev/rules.d/60-tarvex-probes.rules"
    echo "$prefix/lib/systemd/system/tarvex-server.service"
    echo "$prefix/lib/systemd/system/tarvex-server.socket"
    echo "$prefix/lib/sysusers.d/tarvex.conf"
}
