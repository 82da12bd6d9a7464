#!/usr/bin/env bash
# The man pages: they render without a warning, and each documents every
# option and command its program has, as the program itself lists them.
# tarvex-cli's exit statuses are one table, the same rows in the same order
# in its --help, its man page and the README.
#   check_man.sh MAN_DIR OPTIONS_SOURCE CLI VPROBE GDBSERVER README
set -u
. "$(dirname "$0")/package_files.sh"
man_dir=$1 options_source=$2 cli=$3 vprobe=$4 gdbserver=$5 readme=$6

# Plain text, without hyphenation or overstriking, so words can be grepped.
render() { groff -man -Tascii -P-cbou "$man_dir/$1" 2>/dev/null; }

for page in tarvex-server.1 tarvex-cli.1 tarvex-gdbserver.1 tarvex-vprobe.1; do
    warnings=$(groff -man -ww -z "$man_dir/$page" 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
done

# Fails unless every word is on the page as a word of its own.
documents() {
    local page=$1 text word
    shift
    [ $# -gt 0 ] || fail "no names found to look for in $page"
    text=$(render "$page")
    for word in "$@"; do
        grep -Eq -- "(^|[^a-z_-])$word([^a-z_-]|\$)" <<<"$text" || fail "$page does not document $word"
    done
}

# The server: its long-option table and its getopt letters.
long=$(sed -n 's/^ *{"\([a-z_-]*\)", *\(no\|optional\|required\)_argument.*/--\1/p' "$options_source")
letters=$(grep -o 'getopt_long([^"]*"[^"]*"' "$options_source" | sed 's/.*"\(.*\)"/\1/; s/://g')
short=$(grep -o . <<<"$letters" | sed 's/^/-/')
documents tarvex-server.1 $long $short
# The client: the commands and options of its --help.
help=$("$cli" --help)
documents tarvex-cli.1 $(sed -n 's/^  \([a-z]\+\) .*/\1/p' <<<"$help") \
    $(grep -oE '(^|[ [])--?[a-z][a-z-]*' <<<"$help" | tr -d ' [' | sort -u)
# The GDB front end: the options of its --help, and its monitor commands.
help=$("$gdbserver" --help)
documents tarvex-gdbserver.1 $(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u) reset halt speed help
# The launcher: the options of its usage text.
usage=$("$vprobe" --no-such-option 2>&1)
documents tarvex-vprobe.1 $(grep -oE -- '--[a-z]+' <<<"$usage" | sort -u)

# The status codes, one a line: --help's rows after "exit status:", the
# man page's tags in EXIT STATUS, the README's table rows.
codes=$(sed -n '/^exit status:$/,$ s/^  \([0-9][0-9-]*\) .*/\1/p' <<<"$("$cli" --help)")
man_codes=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH /p' "$man_dir/tarvex-cli.1" |
    sed -n '/^\.TP$/{n;s/^\.B \([0-9][0-9\\-]*\)$/\1/p}' | sed 's/\\-/-/g')
readme_codes=$(sed -n 's/^| \([0-9][0-9-]*\) | .*/\1/p' "$readme")
[ -n "$codes" ] || fail "tarvex-cli --help prints no exit status table"
[ "$man_codes" = "$codes" ] || fail "tarvex-cli.1 EXIT STATUS lists $(echo $man_codes), --help $(echo $codes)"
[ "$readme_codes" = "$codes" ] || fail "README.md's status table lists $(echo $readme_codes), --help $(echo $codes)"

finish "man pages"
