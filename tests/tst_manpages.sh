#!/usr/bin/env bash
# The manual pages say what the programs do: every long option that PROGRAM --help
# lists is described in the page's OPTIONS section and nothing else is, the exit
# statuses match, the usual sections are there, and groff renders each page without
# a warning.
#   tst_manpages.sh MAN_DIR NAME=PROGRAM...
# MAN_DIR holds NAME.1 for each NAME; PROGRAM is the built program to ask for --help.
set -uo pipefail

man_dir="$1"
shift
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
[ $# -gt 0 ] || fail "no program was given"

# The lines of one section (from ".SH TITLE" to the next ".SH") of a troff page.
section() { # PAGE TITLE
    awk -v title="$2" '
        /^\.SH/ { name = $0; sub(/^\.SH[ \t]+/, "", name); gsub(/"/, "", name); inside = (name == title); next }
        inside' "$1"
}

for pair in "$@"; do
    name="${pair%%=*}"
    page="$man_dir/$name.1"
    echo "== $name"
    help="$(QT_QPA_PLATFORM=offscreen "${pair#*=}" --help 2>/dev/null)"
    status=$?
    if [ ! -f "$page" ] || [ "$status" -ne 0 ] || [ -z "$help" ]; then
        fail "$name: no page $page, or --help exited $status with ${#help} characters"
        continue
    fi

    # Options: the help text's long options against the OPTIONS section's, where each
    # dash is written \-.
    help_options="$(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u)"
    [ -n "$help_options" ] || fail "$name: found no long option in the help text"
    man_options="$(section "$page" OPTIONS | grep -oE '\\-\\-[a-z][a-z0-9-]*(\\-[a-z0-9]+)*' |
        sed 's/\\-/-/g' | sort -u)"
    differ "$help_options" "$man_options" \
        "$name: %s is in --help but not in the OPTIONS section of $name.1" \
        "$name: %s is in the OPTIONS section of $name.1 but not in --help"

    # Exit statuses: the numbers in the help text's "Exit status" paragraph against
    # the tag line after each .TP in the page's EXIT STATUS section.
    help_codes="$(awk 'tolower($0) ~ /^exit status/ { inside = 1 } inside && /^$/ { inside = 0 } inside' <<<"$help" |
        sed 's/^[Ee]xit status://' | grep -oE '(^|[^A-Za-z0-9:.])[0-9]+([^0-9.]|$)' | grep -oE '[0-9]+' |
        sort -un | tr '\n' ' ')"
    man_codes="$(section "$page" "EXIT STATUS" |
        awk 'tag { sub(/^\.B[ \t]+/, ""); if ($0 ~ /^[0-9]+$/) print; tag = 0 } /^\.TP/ { tag = 1 }' |
        sort -un | tr '\n' ' ')"
    [ -n "$help_codes" ] || fail "$name: the help text lists no exit status"
    [ "$help_codes" = "$man_codes" ] ||
        fail "$name: exit statuses differ: --help lists [${help_codes% }], $name.1 lists [${man_codes% }]"

    # Sections, header and the NAME line that whatis and apropos show.
    for title in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES FILES "SEE ALSO"; do
        grep -qE "^\.SH \"?$title\"?\$" "$page" || fail "$name: $name.1 has no $title section"
    done
    for file in '~/sendArbcmd.sh' '~/.config/Kestrel/Kestrel.conf'; do
        section "$page" FILES | grep -qF -- "$file" || fail "$name: the FILES section does not mention $file"
    done
    troff_name="${name^^}"
    header="$(grep -m1 '^\.TH' "$page")"
    [[ "$header" == ".TH ${troff_name//-/\\-} 1 "* ]] || fail "$name: the header should be '.TH $troff_name 1 ...', not '$header'"
    whatis="$(section "$page" NAME | grep -v '^\.' | head -1)"
    [[ "$whatis" == "${name//-/\\-} \\- "* ]] || fail "$name: the NAME line should read '$name \\- what it does', not '$whatis'"

    groff_out="$(groff -man -Tutf8 -ww -z "$page" 2>&1)" && [ -z "$groff_out" ] || fail "$name: groff warns: $groff_out"
done

finish "$# pages"
