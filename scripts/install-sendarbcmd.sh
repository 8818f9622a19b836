#!/usr/bin/env bash
# Puts sendArbcmd.sh into the home folder Kestrel looks in, pointing at a built kestrel-scpi.
#   scripts/install-sendarbcmd.sh [--force] [--scpi PATH] [--home DIR]
# An existing, different script is left alone unless --force is given; then it is
# kept as sendArbcmd.sh.bak-<timestamp>.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
template="$here/sendArbcmd.sh"
scpi="$here/../build/dev/tools/kestrel-scpi"
force=0
home=""

usage() {
    cat <<USAGE
Usage: scripts/install-sendarbcmd.sh [--force] [--scpi PATH] [--home DIR]

Installs sendArbcmd.sh, the script Kestrel runs for every instrument command,
into your home folder, so that it calls kestrel-scpi by its absolute path.
The home folder is the one Kestrel uses: the user database's entry for you
(getent passwd), or \$HOME only when the database names none.

  --scpi PATH  the kestrel-scpi to use (default: build/dev/tools/kestrel-scpi
               of this checkout)
  --home DIR   install into DIR instead (an existing folder), for tests or a
               Kestrel that runs as another user
  --force      replace an existing, different script, keeping a backup
               (sendArbcmd.sh.bak-<timestamp>)
  --help       show this help
USAGE
}

while [ $# -gt 0 ]; do
    case "$1" in
    --force) force=1 ;;
    --scpi)
        [ $# -ge 2 ] || { echo "install-sendarbcmd.sh: --scpi needs a path" >&2; exit 2; }
        scpi="$2"
        shift
        ;;
    --scpi=*) scpi="${1#--scpi=}" ;;
    --home | --home=*)
        if [ "$1" = --home ]; then
            [ $# -ge 2 ] && home="$2" && shift
        else
            home="${1#--home=}"
        fi
        [ -n "$home" ] || { echo "install-sendarbcmd.sh: --home needs a folder" >&2; exit 2; }
        ;;
    --help | -h) usage; exit 0 ;;
    *) echo "install-sendarbcmd.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done

# Kestrel runs <home>/sendArbcmd.sh with the home of getpwuid(getuid()); $HOME counts only
# when that names none, so a changed $HOME must not send the script elsewhere.
if [ -z "$home" ]; then
    home="$(getent passwd "$(id -u)" | cut -d: -f6)" || home=""
    home="${home:-${HOME:-}}"
    if [ -z "$home" ]; then
        echo "install-sendarbcmd.sh: the user database names no home folder for uid $(id -u) and HOME is not set; pass --home DIR" >&2
        exit 1
    fi
fi
if [ ! -d "$home" ]; then
    echo "install-sendarbcmd.sh: cannot install into $home: no such folder" >&2
    exit 1
fi
home="$(CDPATH='' cd -- "$home" && pwd)"
target="${home%/}/sendArbcmd.sh"

if [ ! -f "$scpi" ] || [ ! -x "$scpi" ]; then
    echo "install-sendarbcmd.sh: cannot install $target: no kestrel-scpi at $scpi; build it first (cmake --build --preset dev) or pass --scpi PATH" >&2
    exit 1
fi
scpi="$(cd "$(dirname "$scpi")" && pwd -P)/$(basename "$scpi")"

# The template with the placeholder replaced by the single-quoted path.
IFS= read -r -d '' text < "$template" || true
quoted="'${scpi//\'/\'\\\'\'}'"
placeholder="'@KESTREL_SCPI@'"
if [[ "$text" != *"$placeholder"* ]]; then
    echo "install-sendarbcmd.sh: $template has no $placeholder line" >&2
    exit 1
fi
text="${text%%"$placeholder"*}$quoted${text#*"$placeholder"}"

if [ -e "$target" ] || [ -L "$target" ]; then
    if [ -f "$target" ] && cmp -s -- "$target" <(printf '%s' "$text"); then
        if [ -x "$target" ]; then
            echo "$target is up to date (uses $scpi)"
        else
            chmod u+x "$target"
            echo "$target is up to date; made it executable"
        fi
        exit 0
    fi
    if [ "$force" -eq 0 ]; then
        echo "$target already exists and differs; left it unchanged."
        echo "Run scripts/install-sendarbcmd.sh --force to replace it (a backup is kept)."
        exit 0
    fi
    backup="$target.bak-$(date +%Y%m%d-%H%M%S)"
    n=1
    while [ -e "$backup" ]; do
        backup="$target.bak-$(date +%Y%m%d-%H%M%S)-$n"
        n=$((n + 1))
    done
    cp -p -- "$target" "$backup"
    echo "Kept the old script as $backup"
fi

# Written next to the target and renamed, so Kestrel never runs half a script.
tmp="$(mktemp "$(dirname "$target")/.sendArbcmd.sh.XXXXXX")"
trap 'rm -f "$tmp"' EXIT
printf '%s' "$text" > "$tmp"
chmod 755 "$tmp"
mv -f -- "$tmp" "$target"
trap - EXIT
echo "Installed $target (uses $scpi)"
