#!/usr/bin/env bash
# The Debian package builds from this build tree and is one that apt installs on a
# fresh Debian 12: the programs, desktop entry, icons, manual pages and script
# template are inside, stripped programs run, Depends carries zsh and the Qt
# libraries found by dpkg-shlibdeps, and lintian finds no error.
#   tst_package.sh CPACK_CONFIG VERSION
set -uo pipefail

config="$1"
version="$2"
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

work="$(mktemp -d -t kestrel-package.XXXXXX)"
trap 'rm -rf "$work"' EXIT

# Under the strictest umask: the package's modes must not depend on the packager's.
if ! (umask 077 && cpack -G DEB --config "$config" -B "$work/out") >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    fail "cpack -G DEB failed"
    exit 1
fi
debs=("$work"/out/kestrel_*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    cat "$work/cpack.log"
    fail "expected one kestrel_*.deb, found: ${debs[*]}"
    exit 1
fi
deb="${debs[0]}"
arch="$(dpkg --print-architecture)"
echo "Built $(basename "$deb")"
[[ "$(basename "$deb")" =~ ^kestrel_${version//./\\.}-[0-9]+_${arch}\.deb$ ]] ||
    fail "the file name $(basename "$deb") is not kestrel_${version}-REVISION_${arch}.deb"

# ---- Control fields ---------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kestrel ] || fail "Package: $(field Package)"
[[ "$(field Version)" == "$version-"* ]] || fail "Version: $(field Version), expected $version-REVISION"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = science ] || fail "Section: $(field Section)"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
[ -n "$(field Description)" ] || fail "no Description"
depends="$(field Depends)"
echo "Depends: $depends"
# Names in Depends, without versions or alternatives' bars.
depends_names=" $(printf '%s' "$depends" | tr ',|' '\n\n' | sed 's/(.*)//; s/^ *//; s/ *$//' | tr '\n' ' ') "
for pkg in zsh libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6svg6; do
    [[ "$depends_names" == *" $pkg "* ]] || fail "Depends lacks $pkg"
done

# ---- Contents --------------------------------------------------------------------
listing="$(dpkg-deb -c "$deb")"
paths="$(printf '%s\n' "$listing" | awk '{print $6}' | sed 's|^\./|/|')"
want=(/usr/share/applications/kestrel.desktop
    /usr/share/icons/hicolor/scalable/apps/kestrel.svg
    /usr/share/kestrel/sendArbcmd.sh
    /usr/share/lintian/overrides/kestrel
    /usr/share/doc/kestrel/copyright
    /usr/share/doc/kestrel/changelog.Debian.gz)
for p in kestrel kestrel-sweep kestrel-scpi kestrel-sim; do
    want+=("/usr/bin/$p" "/usr/share/man/man1/$p.1.gz")
done
for s in 16 32 48 64 128 256; do
    want+=("/usr/share/icons/hicolor/${s}x${s}/apps/kestrel.png")
done
for p in "${want[@]}"; do
    printf '%s\n' "$paths" | grep -qxF -- "$p" || fail "the package lacks $p"
done
printf '%s\n' "$paths" | grep -v '^/usr/' | grep -vx '/' | grep -q . &&
    fail "files outside /usr: $(printf '%s\n' "$paths" | grep -v '^/usr/' | grep -vx '/' | tr '\n' ' ')"
while read -r mode owner _ _ _ path _; do
    [ "$owner" = root/root ] || fail "$path belongs to $owner"
    case "$path" in
    ./usr/bin/?*) [ "$mode" = -rwxr-xr-x ] || fail "$path has mode $mode" ;;
    */) [ "$mode" = drwxr-xr-x ] || fail "$path has mode $mode" ;;
    *) [ "$mode" = -rw-r--r-- ] || fail "$path has mode $mode" ;;
    esac
done <<<"$listing"

# ---- The unpacked package --------------------------------------------------------
root="$work/root"
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x failed"
out="$(desktop-file-validate "$root/usr/share/applications/kestrel.desktop" 2>&1)" ||
    fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate complains: $out"
for p in kestrel kestrel-sweep kestrel-scpi kestrel-sim; do
    bin="$root/usr/bin/$p"
    [ -x "$bin" ] || continue
    sections="$(readelf -SW "$bin" 2>/dev/null)"
    [[ "$sections" == *" .text "* ]] || fail "$p is not an ELF program"
    [[ "$sections" == *" .symtab "* || "$sections" == *" .debug_info "* ]] && fail "$p is not stripped"
    got="$(QT_QPA_PLATFORM=offscreen "$bin" --version 2>/dev/null)"
    [[ "$got" == *" $version" ]] || fail "the packaged $p --version printed '$got'"
done

# ---- lintian ----------------------------------------------------------------------
lintian --tag-display-limit 0 "$deb" >"$work/lintian.out" 2>&1
status=$?
echo "lintian:"
sed 's/^/  /' "$work/lintian.out"
# lintian exits 2 when it found errors, 1 when it could not check at all.
[ "$status" -ne 1 ] && [ "$status" -le 2 ] || fail "lintian could not check the package (exit status $status)"
if [ "$status" -eq 2 ] || grep -q '^E: ' "$work/lintian.out"; then
    fail "lintian reports errors"
fi

finish "package $(basename "$deb")"
