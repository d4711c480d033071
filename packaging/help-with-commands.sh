#!/bin/sh
# Answers --help and --version for help2man on behalf of PROGRAM. The help is
# the program's own (but its one-line example: the page has its own),
# followed, when the program lists commands under "Commands:", by a
# "Commands" section with each command's help (its usage line as the
# subsection's title, Qt's help options left out). The version is the
# program's name and version.
# Usage: help-with-commands.sh PROGRAM --help|--version
set -eu
program=$1
case ${2:-} in
--version)
    "$program" --version | sed -n '1s/^\([^ ]*\) \([^ ]*\).*/\1 \2/p'
    exit 0
    ;;
--help) ;;
*)
    echo "usage: $0 PROGRAM --help|--version" >&2
    exit 2
    ;;
esac

help=$("$program" --help)
printf '%s\n' "$help" | sed -e '/^Example: /d'
commands=$(printf '%s\n' "$help" | sed -n '/^Commands:$/,/^$/s/^  \([a-z][a-z-]*\)  .*/\1/p')
[ -n "$commands" ] || exit 0
printf '\n*Commands*\n'
for command in $commands; do
    printf '\n'
    "$program" "$command" --help | sed \
        -e '/^ *-h, --help  /d' \
        -e '/^ *--help-all  /d' \
        -e '/^Options:$/d' \
        -e 's/^Usage: \(.*\)$/\1:/' \
        -e '2s/^/ /'
done
