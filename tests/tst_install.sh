#!/usr/bin/env bash
# `cmake --install` into a scratch prefix puts every file where a Linux desktop
# expects it, and the installed programs work from there.
#   tst_install.sh BUILD_DIR VERSION
set -uo pipefail

build="$1"
version="$2"
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

work="$(mktemp -d -t kestrel-install.XXXXXX)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "cmake --install $build failed"
    exit 1
fi

# ---- Exactly these files; only the programs are executable ------------------------
differ "$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)" "$(installed_files)" \
    "installed but not expected: %s" "not installed: %s"
differ "$(cd "$prefix" && find . -type f -perm /111 | sed 's|^\./||' | sort)" \
    "$({ printf 'bin/%s\n' "${programs[@]}"; printf '%s\n' "${helpers[@]}"; } | sort)" \
    "%s should not be executable" "%s is not an executable file"

# ---- Desktop entry and icons ----------------------------------------------------
desktop="$prefix/share/applications/kestrel.desktop"
out="$(desktop-file-validate "$desktop" 2>&1)" && [ -z "$out" ] || fail "desktop-file-validate: $out"
exec_line="$(sed -n 's/^Exec=//p' "$desktop")"
[ -x "$prefix/bin/${exec_line%% *}" ] || fail "Exec=$exec_line names no installed program"
grep -qx 'Icon=kestrel' "$desktop" || fail "the desktop entry's Icon is not kestrel, the icons' name"
grep -qx 'Categories=.*Science;.*' "$desktop" || fail "the desktop entry is not in Science"
# A PNG starts with its signature and the IHDR chunk: width and height, 4 bytes each.
for s in "${icon_sizes[@]}"; do
    png="share/icons/hicolor/${s}x$s/apps/kestrel.png"
    header="$(od -An -tx1 -N24 "$prefix/$png" 2>/dev/null | tr -d ' \n')"
    [ "$header" = "89504e470d0a1a0a0000000d49484452$(printf '%08x%08x' "$s" "$s")" ] ||
        fail "$png is no ${s}x$s PNG"
done
grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/kestrel.svg" ||
    fail "kestrel.svg holds no <svg> element"

# ---- Compressed pages and documents ---------------------------------------------
# Made with gzip -n, so that builds repeat: no file name (flag 8 in byte 3), no time
# (bytes 4-7).
for gz in $(installed_files | grep '\.gz$'); do
    bytes=($(od -An -tu1 -N8 "$prefix/$gz" 2>/dev/null))
    gzip -t "$prefix/$gz" 2>/dev/null && [ $((bytes[3] & 8)) -eq 0 ] &&
        [ "${bytes[*]:4:4}" = "0 0 0 0" ] || fail "$gz is not valid gzip made with gzip -n"
done
first="$(gzip -dc "$prefix/share/doc/kestrel/changelog.Debian.gz" 2>/dev/null | head -1)"
[[ "$first" == "kestrel ($version-"*") "*"; urgency="* ]] ||
    fail "the changelog's first line is not an entry for $version: $first"

# ---- The installed programs work ---------------------------------------------------
check_versions "$prefix/bin" "$version" "the installed"
# A ~/sendArbcmd.sh made from the installed template hands its arguments to the
# installed kestrel-scpi: only that one answers a bad port like this.
template="$prefix/share/kestrel/sendArbcmd.sh"
grep -qxF "scpi='@KESTREL_SCPI@'" "$template" || fail "the template has no scpi='@KESTREL_SCPI@' line"
sed "s|@KESTREL_SCPI@|$prefix/bin/kestrel-scpi|" "$template" >"$work/sendArbcmd.sh"
reply="$(sh "$work/sendArbcmd.sh" 127.0.0.1 x '*IDN?' 2>&1)"
case "$reply" in "kestrel-scpi: 127.0.0.1:x: not a port number or a VXI-11 device name; "*) ;; *) false ;; esac || fail "the script made from the template answered '$reply'"

finish "install into $prefix"
