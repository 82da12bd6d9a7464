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

# The files of each package, without the leading "/", one a line:
#   package_files_of NAME PREFIX BINDIR LIBDIR MANDIR   (absolute install paths)
# NAME: tarvex-server or tarvex-vprobe.
package_files_of() {
    local name=$1 prefix=${2#/} bindir=${3#/} libdir=${4#/} mandir=${5#/} program
    if [ "$name" = tarvex-vprobe ]; then
        echo "$bindir/tarvex-vprobe"
        echo "$mandir/man1/tarvex-vprobe.1.gz"
        echo "$libdir/tarvex/libtarvex-vprobe-fast.so"
        for name in tarvex-sample.elf tarvex-virtual-target.FLM; do
            echo "$prefix/share/tarvex/$name"
        done
        return
    fi
    for program in tarvex-server tarvex-cli tarvex-gdbserver; do
        echo "$bindir/$program"
        echo "$mandir/man1/$program.1.gz"
    done
    echo "$prefix/lib/udev/rules.d/60-tarvex-probes.rules"
    echo "$prefix/lib/systemd/system/tarvex-server.service"
    echo "$prefix/lib/systemd/system/tarvex-server.socket"
    echo "$prefix/lib/sysusers.d/tarvex.conf"
    echo "$prefix/share/tarvex/tarvex-flash-helper.bin"
}

# Every installed file: both packages'.
#   package_files PREFIX BINDIR LIBDIR MANDIR
package_files() {
    package_files_of tarvex-server "$@"
    package_files_of tarvex-vprobe "$@"
}
