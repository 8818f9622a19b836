#!/usr/bin/env bash
# The manual pages say what the programs do: every long option that PROGRAM --help
# lists is described in the page's OPTIONS section and nothing else is, the exit
# statuses match, the usual sections are there, and man and groff render each page
# without a warning.
#   tst_manpages.sh MAN_DIR NAME=PROGRAM...
# MAN_DIR holds NAME.1 for each NAME; PROGRAM is the built program to ask for --help.
set -uo pipefail

man_dir="$1"
shift
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
checks=0

# The lines of one section (from ".SH TITLE" to the next ".SH") of a troff page.
section() { # PAGE TITLE
    awk -v title="$2" '
        /^\.SH/ { name = $0; sub(/^\.SH[ \t]+/, "", name); gsub(/"/, "", name); inside = (name == title); next }
        inside' "$1"
}

# Long option names (--name) in troff text, where each dash is written \-.
troff_long_options() {
    grep -oE '\\-\\-[a-z][a-z0-9-]*(\\-[a-z0-9]+)*' | sed 's/\\-/-/g' | sort -u
}

# Exit statuses a page lists: the tag line after each .TP in EXIT STATUS.
man_exit_codes() { # PAGE
    section "$1" "EXIT STATUS" |
        awk 'tag { sub(/^\.B[ \t]+/, ""); if ($0 ~ /^[0-9]+$/) print; tag = 0 } /^\.TP/ { tag = 1 }' |
        sort -un
}

# Exit statuses the help text lists: the numbers in its "Exit status" paragraph.
help_exit_codes() { # HELP_TEXT
    printf '%s\n' "$1" |
        awk 'tolower($0) ~ /^exit status/ { inside = 1 } inside && /^$/ { inside = 0 } inside' |
        sed 's/^[Ee]xit status://' | grep -oE '(^|[^A-Za-z0-9:.])[0-9]+([^0-9.]|$)' | grep -oE '[0-9]+' |
        sort -un
}

for pair in "$@"; do
    name="${pair%%=*}"
    program="${pair#*=}"
    page="$man_dir/$name.1"
    echo "== $name"
    checks=$((checks + 1))
    if [ ! -f "$page" ]; then
        fail "$name: no manual page $page"
        continue
    fi

    help="$(QT_QPA_PLATFORM=offscreen "$program" --help 2>/dev/null)"
    status=$?
    if [ "$status" -ne 0 ] || [ -z "$help" ]; then
        fail "$name: '$program --help' exited $status with ${#help} characters of help"
        continue
    fi

    # Options: the help text's long options against the OPTIONS section's.
    help_options="$(printf '%s\n' "$help" | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u)"
    man_options="$(section "$page" OPTIONS | troff_long_options)"
    if [ -z "$help_options" ]; then
        fail "$name: found no long option in the help text"
    fi
    differ "$help_options" "$man_options" \
        "$name: %s is in --help but not in the OPTIONS section of $name.1" \
        "$name: %s is in the OPTIONS section of $name.1 but not in --help"

    # Exit statuses.
    help_codes="$(help_exit_codes "$help" | tr '\n' ' ')"
    man_codes="$(man_exit_codes "$page" | tr '\n' ' ')"
    if [ -z "$help_codes" ]; then
        fail "$name: the help text lists no exit status"
    elif [ "$help_codes" != "$man_codes" ]; then
        fail "$name: exit statuses differ: --help lists [${help_codes% }], $name.1 lists [${man_codes% }]"
    fi

    # Sections and header.
    for title in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES FILES "SEE ALSO"; do
        grep -qE "^\.SH \"?$title\"?\$" "$page" || fail "$name: $name.1 has no $title section"
    done
    for file in '~/sendArbcmd.sh' '~/.config/Kestrel/Kestrel.conf'; do
        section "$page" FILES | grep -qF -- "$file" || fail "$name: the FILES section does not mention $file"
    done
    header="$(grep -m1 '^\.TH' "$page")"
    troff_name="$(printf '%s' "$name" | tr '[:lower:]' '[:upper:]' | sed 's/-/\\\\-/g')"
    [[ "$header" =~ ^\.TH\ $troff_name\ 1\  ]] ||
        fail "$name: the header should be '.TH $(printf '%s' "$name" | tr '[:lower:]' '[:upper:]') 1 ...', not '$header'"
    whatis="$(section "$page" NAME | grep -v '^\.' | head -1)"
    [[ "$whatis" == "${name//-/\\-} \\- "* ]] ||
        fail "$name: the NAME line should read '$name \\- what it does', not '$whatis'"

    # Rendering: no warning from groff nor from man.
    groff_out="$(groff -man -Tutf8 -ww -z "$page" 2>&1)" || fail "$name: groff failed"
    [ -z "$groff_out" ] || fail "$name: groff warns: $groff_out"
    man_err="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)" ||
        fail "$name: man -l failed"
    [ -z "$man_err" ] || fail "$name: man warns: $man_err"
    rendered="$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)"
    printf '%s\n' "$rendered" | grep -q "^NAME" || fail "$name: man -l rendered no NAME heading"
done

if [ "$checks" -eq 0 ]; then
    fail "no program was given"
fi
finish "$checks pages"
