#!/bin/sh
# Answers --help and --version for help2man on behalf of PROGRAM: the help is
# the program's own (but its one-line example: the page has its own), followed
# by a "Commands" section with each COMMAND's help (its usage line as the
# subsection's title, Qt's help options left out); the version is the
# program's name and version.
# Usage: help-with-commands.sh PROGRAM [COMMAND ...] --help|--version
set -eu
program=$1
shift
option=
commands=
for argument in "$@"; do
    case $argument in
    --help | --version) option=$argument ;;
    *) commands="$commands $argument" ;;
    esac
done
case $option in
--version) "$program" --version | sed -n '1s/^\([^ ]*\) \([^ ]*\).*/\1 \2/p'; exit 0 ;;
--help) ;;
*) echo "usage: $0 PROGRAM [COMMAND ...] --help|--version" >&2; exit 2 ;;
esac

"$program" --help | sed -e '/^Example: /d'
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
