#!/bin/bash
# man/sockherd.1: clean for mandoc's linter and groff, and complete: every
# option of the usage text, every message the daemon's code can print and
# every verbose log format is documented.
#
# usage: manpage_test.sh SOCKHERD MAN_PAGE SOURCE_DIR
. "$(dirname "$0")/lib.sh"

sockherd=$(realpath "$1")
page=$(realpath "$2")
source_dir=$(realpath "$3")
need_tool mandoc mandoc
need_tool man man-db

lint_is_silent() {
    mandoc -Tlint "$page" > "$scratch/lint" 2>&1
    local status=$?
    [ "$status" -eq 0 ] && [ ! -s "$scratch/lint" ] || { cat "$scratch/lint"; return 1; }
}
check "mandoc -Tlint reports nothing" lint_is_silent

man_renders_without_warnings() {
    MANWIDTH=80 man --warnings -l "$page" 2> "$scratch/man.err" | col -bx > "$scratch/man.txt"
    [ "${PIPESTATUS[0]}" -eq 0 ] || { cat "$scratch/man.err"; return 1; }
    [ ! -s "$scratch/man.err" ] || { cat "$scratch/man.err"; return 1; }
    local section
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS OPERANDS ENVIRONMENT DIAGNOSTICS \
            "EXIT STATUS" EXAMPLES CAVEATS "SEE ALSO"; do
        grep -q -x "$section" "$scratch/man.txt" || { echo "no $section section"; return 1; }
    done
}
check "man -l renders it, groff warns of nothing, every section is there" \
    man_renders_without_warnings

# One line per paragraph, blanks squeezed: a phrase can be searched for
# without caring where the formatter broke the line.
mandoc -Tascii -O width=1000 "$page" | col -bx | tr -s ' ' > "$scratch/flat.txt"

options_documented() {
    local letters letter missing=""
    letters=$("$sockherd" -h 2>&1 | sed -n 's/^  -\([[:alnum:]]\) .*/\1/p')
    [ -n "$letters" ] || { echo "no options in the usage text"; return 1; }
    for letter in $letters; do
        grep -q -E "^\.B(I|R)? \\\\-$letter( |$)" "$page" || missing="$missing -$letter"
    done
    [ -z "$missing" ] || { echo "no entry for:$missing"; return 1; }
}
check "every option in the usage text has an entry" options_documented

messages_documented() {
    local messages message missing=""
    messages=$(grep -h -o -E '\b(warn|die)\("[^"]+"\)' "$source_dir"/src/*.cc |
        sed -E 's/^[a-z]+\("(.*)"\)$/\1/' | sort -u)
    [ "$(wc -l <<< "$messages")" -ge 20 ] || { echo "found too few messages: $messages"; return 1; }
    while IFS= read -r message; do
        grep -q -F -- "$message" "$scratch/flat.txt" || missing="$missing
  $message"
    done <<< "$messages"
    [ -z "$missing" ] || { echo "undocumented:$missing"; return 1; }
}
check "every message the daemon prints is in DIAGNOSTICS" messages_documented

# Each fprintf format of the log must match an example line of the page
# ("%s\n" is how every message is printed, not a log line).
log_formats_have_examples() {
    local formats format pattern missing=""
    formats=$(grep -h -o -E 'fprintf\(stderr, "[^"]*\\n"' "$source_dir"/src/*.cc |
        sed -E 's/^fprintf\(stderr, "(.*)\\n"$/\1/' | grep -v -x '%s' | sort -u)
    [ "$(wc -l <<< "$formats")" -eq 20 ] || { echo "expected 20 log formats, found: $formats"; return 1; }
    while IFS= read -r format; do
        pattern=$(sed -E 's/[()]/\\&/g; s/%ld|%d/-?[0-9]+/g; s/%s/[^ ]+/g' <<< "$format")
        grep -q -E "^[[:space:]]*$pattern\$" "$scratch/flat.txt" || missing="$missing
  $format"
    done <<< "$formats"
    [ -z "$missing" ] || { echo "no example line for:$missing"; return 1; }
}
check "every verbose log format has a matching example line" log_formats_have_examples

check "the seven variables are each described" bash -c '
    for name in PROTO TCPLOCALIP TCPLOCALPORT TCPREMOTEIP TCPREMOTEPORT TCPPROXYIP TCPPROXYPORT; do
        grep -q -x "\.B $name" "$1" || { echo "no entry for $name"; exit 1; }
    done' _ "$page"

check "the page names the version the binary reports" bash -c '
    version=$("$1" -h 2>&1 | sed -n "1s/^sockherd version //p")
    head -n 1 "$2" | grep -q "\"sockherd $version\""' _ "$sockherd" "$page"

finish
