#!/usr/bin/env bash
# `cmake --install` into a scratch prefix puts every file where a Linux desktop
# expects it, and the installed programs work from there: a ~/sendArbcmd.sh made
# from the installed template reaches the installed kestrel-sim through the
# installed kestrel-scpi, and the installed kestrel-sweep runs a sweep with it.
#   tst_install.sh BUILD_DIR VERSION
set -uo pipefail

build="$1"
version="$2"
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

work="$(mktemp -d -t kestrel-install.XXXXXX)"
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
prefix="$work/prefix"

# Width and height from a PNG's header, or nothing when the file is no PNG.
png_size() {
    local bytes
    bytes=($(od -An -tu1 -N24 "$1"))
    [ "${#bytes[@]}" -eq 24 ] || return
    [ "${bytes[*]:0:8}" = "137 80 78 71 13 10 26 10" ] || return
    echo "$(((bytes[16] << 24) | (bytes[17] << 16) | (bytes[18] << 8) | bytes[19]))x$(((bytes[20] << 24) | (bytes[21] << 16) | (bytes[22] << 8) | bytes[23]))"
}

if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "cmake --install $build failed"
    exit 1
fi

# ---- Exactly these files ------------------------------------------------------
programs=(kestrel kestrel-sweep kestrel-scpi kestrel-sim)
icon_sizes=(16 32 48 64 128 256)
expected=(share/applications/kestrel.desktop
    share/icons/hicolor/scalable/apps/kestrel.svg
    share/kestrel/sendArbcmd.sh
    share/lintian/overrides/kestrel
    share/doc/kestrel/copyright
    share/doc/kestrel/changelog.Debian.gz)
for p in "${programs[@]}"; do
    expected+=("bin/$p" "share/man/man1/$p.1.gz")
done
for s in "${icon_sizes[@]}"; do
    expected+=("share/icons/hicolor/${s}x${s}/apps/kestrel.png")
done
installed="$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)"
wanted="$(printf '%s\n' "${expected[@]}" | sort)"
differ "$installed" "$wanted" "installed but not expected: %s" "not installed: %s"

for p in "${programs[@]}"; do
    [ -f "$prefix/bin/$p" ] && [ -x "$prefix/bin/$p" ] || fail "bin/$p is not an executable file"
done
while IFS= read -r f; do
    [ -n "$f" ] && fail "share/$f should not be executable"
done < <(cd "$prefix/share" && find . -type f -perm /111 | sed 's|^\./||')

# ---- Desktop entry and icons ----------------------------------------------------
desktop="$prefix/share/applications/kestrel.desktop"
if [ -f "$desktop" ]; then
    out="$(desktop-file-validate "$desktop" 2>&1)" || fail "desktop-file-validate: $out"
    [ -z "$out" ] || fail "desktop-file-validate complains: $out"
    exec_line="$(sed -n 's/^Exec=//p' "$desktop")"
    [ -x "$prefix/bin/${exec_line%% *}" ] || fail "Exec=$exec_line names no installed program"
    icon="$(sed -n 's/^Icon=//p' "$desktop")"
    [ "$icon" = kestrel ] || fail "Icon=$icon, but the icon files are called kestrel"
    grep -qx 'Categories=.*Science;.*' "$desktop" || fail "the desktop entry is not in Science"
fi
for s in "${icon_sizes[@]}"; do
    png="$prefix/share/icons/hicolor/${s}x${s}/apps/kestrel.png"
    [ -f "$png" ] || continue
    got="$(png_size "$png")"
    [ "$got" = "${s}x${s}" ] || fail "${s}x${s}/apps/kestrel.png is '${got:-not a PNG}'"
done
svg="$prefix/share/icons/hicolor/scalable/apps/kestrel.svg"
[ -f "$svg" ] && ! grep -q '<svg' "$svg" && fail "kestrel.svg holds no <svg> element"

# ---- Manual pages and documents -------------------------------------------------
# gzip header: byte 3 holds the flags (8: a file name follows), bytes 4-7 the time.
gzip_header_clean() {
    local bytes
    bytes=($(od -An -tu1 -N8 "$1"))
    [ "${bytes[0]}" = 31 ] && [ "${bytes[1]}" = 139 ] && [ $((bytes[3] & 8)) -eq 0 ] &&
        [ "${bytes[*]:4:4}" = "0 0 0 0" ]
}
for p in "${programs[@]}"; do
    page="$prefix/share/man/man1/$p.1.gz"
    [ -f "$page" ] || continue
    gzip -t "$page" 2>/dev/null || fail "$p.1.gz is not valid gzip"
    gzip_header_clean "$page" || fail "$p.1.gz carries a file name or time stamp (use gzip -n)"
    err="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
    [ -z "$err" ] || fail "man -l $p.1.gz warns: $err"
    LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^NAME" ||
        fail "man -l $p.1.gz shows no NAME heading"
done
changelog="$prefix/share/doc/kestrel/changelog.Debian.gz"
if [ -f "$changelog" ]; then
    gzip_header_clean "$changelog" || fail "changelog.Debian.gz carries a file name or time stamp"
    first="$(gzip -dc "$changelog" | head -1)"
    [[ "$first" == "kestrel ($version-"*") "*"; urgency="* ]] ||
        fail "the changelog's first line is not an entry for $version: $first"
fi
copyright="$prefix/share/doc/kestrel/copyright"
[ -f "$copyright" ] && ! grep -q '^License: Expat' "$copyright" && fail "copyright names no license"

# ---- The installed programs work ---------------------------------------------------
for p in "${programs[@]}"; do
    [ -x "$prefix/bin/$p" ] || continue
    out="$(QT_QPA_PLATFORM=offscreen "$prefix/bin/$p" --version 2>/dev/null)"
    [[ "$out" == *" $version" ]] || fail "$p --version printed '$out', not its version $version"
done

template="$prefix/share/kestrel/sendArbcmd.sh"
home="$work/home"
mkdir -p "$home"
if grep -qxF "scpi='@KESTREL_SCPI@'" "$template" 2>/dev/null; then
    sed "s|@KESTREL_SCPI@|$prefix/bin/kestrel-scpi|" "$template" >"$home/sendArbcmd.sh"
    chmod 755 "$home/sendArbcmd.sh"
else
    fail "the installed template has no scpi='@KESTREL_SCPI@' line"
fi

if [ -x "$home/sendArbcmd.sh" ] && [ -x "$prefix/bin/kestrel-sim" ]; then
    "$prefix/bin/kestrel-sim" --source 127.0.0.2:0 --meter 127.0.0.3:0 \
        --device resistor:1000 --noise 0 >"$work/sim.out" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do
        [ "$(grep -c 'listening on' "$work/sim.out")" = 2 ] && break
        sleep 0.05
    done
    source_port="$(sed -n 's/^kestrel-sim: source listening on 127\.0\.0\.2://p' "$work/sim.out")"
    meter_port="$(sed -n 's/^kestrel-sim: meter listening on 127\.0\.0\.3://p' "$work/sim.out")"
    if [ -z "$source_port" ] || [ -z "$meter_port" ]; then
        fail "the installed kestrel-sim did not start: $(cat "$work/sim.out")"
    else
        idn="$("$home/sendArbcmd.sh" 127.0.0.2 "$source_port" '*IDN?' 2>&1)"
        [[ "$idn" == *SIM-SOURCE* ]] || fail "*IDN? through the installed chain answered '$idn'"

        "$prefix/bin/kestrel-sweep" --home "$home" --source "127.0.0.2:$source_port" \
            --meter "127.0.0.3:$meter_port" --start 0 --stop 1 --steps 2 --range 2 \
            --out "$work/iv.txt" >"$work/sweep.out" 2>&1
        status=$?
        data="$(cat "$work/iv.txt" 2>/dev/null)"
        if [ "$status" -ne 0 ]; then
            fail "the installed kestrel-sweep exited $status: $(cat "$work/sweep.out")"
        elif [[ "$data" != "[["*"0.5, 0.0005], [1"*", 0.001]]" ]]; then
            fail "a 1 kOhm resistor swept to 1 V gave '$data'"
        fi
    fi
fi

finish "install into $prefix"
