#!/usr/bin/env bash
# The Debian package builds from this build tree and is one that apt installs on a
# fresh Debian 12: it holds exactly the files an install does, under /usr, with the
# usual modes; its stripped programs run; Depends carries zsh, and GSL, libtirpc (VXI-11)
# and the Qt libraries found by dpkg-shlibdeps; lintian finds no error.
#   tst_package.sh CPACK_CONFIG VERSION
set -uo pipefail

config="$1"
version="$2"
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

work="$(mktemp -d -t kestrel-package.XXXXXX)"
trap 'rm -rf "$work"' EXIT

# Under the strictest umask: the package's modes must not depend on the packager's.
(umask 077 && cpack -G DEB --config "$config" -B "$work/out") >"$work/cpack.log" 2>&1
debs=("$work"/out/kestrel_*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    cat "$work/cpack.log"
    fail "cpack -G DEB made no single kestrel_*.deb: ${debs[*]}"
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
depends="$(field Depends)"
echo "Depends: $depends"
# Names in Depends, without versions or alternatives' bars.
depends_names=" $(printf '%s' "$depends" | tr ',|' '\n\n' | sed 's/(.*)//; s/^ *//; s/ *$//' | tr '\n' ' ') "
for pkg in zsh libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6svg6 \
    libqt6sql6 libqt6sql6-sqlite libtirpc3 libgsl27; do
    [[ "$depends_names" == *" $pkg "* ]] || fail "Depends lacks $pkg"
done
[[ "$(field Recommends)" == *libqt6sql6-psql* ]] || fail "Recommends lacks libqt6sql6-psql"

# ---- Contents --------------------------------------------------------------------
listing="$(dpkg-deb -c "$deb")"
differ "$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | sed 's|^\./usr/||' | sort)" "$(installed_files)" \
    "the package holds %s, which an install does not" "the package lacks /usr/%s"
while read -r mode _ _ _ _ path _; do
    case "$path" in
    ./usr/bin/?* | ./usr/libexec/kestrel/?*) [ "$mode" = -rwxr-xr-x ] || fail "$path has mode $mode" ;;
    */) [ "$mode" = drwxr-xr-x ] || fail "$path has mode $mode" ;;
    *) [ "$mode" = -rw-r--r-- ] || fail "$path has mode $mode" ;;
    esac
done <<<"$listing"

# ---- The packaged (stripped) programs run ----------------------------------------
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x failed"
check_versions "$work/root/usr/bin" "$version" "the packaged"

# ---- lintian: among its errors a malformed Maintainer, an empty Description, files
# not owned by root and unstripped programs ------------------------------------------
lintian --tag-display-limit 0 "$deb" >"$work/lintian.out" 2>&1
status=$?
echo "lintian:"
sed 's/^/  /' "$work/lintian.out"
# lintian exits 2 when it found errors, 1 when it could not check at all.
[ "$status" -ne 1 ] && [ "$status" -le 2 ] || fail "lintian could not check the package (exit status $status)"
[ "$status" -ne 2 ] && ! grep -q '^E: ' "$work/lintian.out" || fail "lintian reports errors"

finish "package $(basename "$deb")"
