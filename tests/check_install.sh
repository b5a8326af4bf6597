#!/bin/bash
# `cmake --install` into a staging folder: the library lands in the server's
# plug-in folder, the LDIF names it, the README's links to docs/ resolve where
# it is installed, the settings are root-only, and an operator's existing
# settings file survives a second install.
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR=$stage cmake --install "$build" >/dev/null
plugin_dir=$(pkg-config --variable=libdir dirsrv)/dirsrv/plugins
lib=$stage$plugin_dir/libdirmirror-plugin.so
[ -f "$lib" ] || fail "library not in $plugin_dir"
ldif=$(find "$stage" -name dirmirror-plugin.ldif)
grep -qx "nsslapd-pluginPath: $plugin_dir/libdirmirror-plugin.so" "$ldif" || fail "LDIF names another path"
grep -qx "nsslapd-pluginInitfunc: get_entry_rodide_init" "$ldif" || fail "LDIF init function"
grep -qx "nsslapd-pluginType: postoperation" "$ldif" || fail "LDIF plug-in type"
# The README lands beside the LDIF, and every file under docs/ it links to beside it.
docdir=$(dirname "$ldif")
[ -f "$docdir/README.md" ] || fail "README.md not in $docdir"
for link in $(grep -o '](docs/[^)]*)' "$docdir/README.md" | sed 's/^](//; s/)$//' | sort -u); do
    [ -f "$docdir/$link" ] || fail "README links to $link, not installed in $docdir"
done
# The message contract ships beside it, linked or not.
[ -f "$docdir/docs/asyncapi.yaml" ] || fail "docs/asyncapi.yaml not installed in $docdir"
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
[ -x "$stage$prefix/sbin/dirmirror-check-settings" ] || fail "dirmirror-check-settings not in $prefix/sbin"
for f in dirmirror.env.sample dirmirror.env; do
    mode=$(stat -c %a "$stage/etc/quorvel/$f")
    [ "$mode" = 600 ] || fail "$f has mode $mode"
done

echo "RABBIT_PASSWORD=operators-own" > "$stage/etc/quorvel/dirmirror.env"
DESTDIR=$stage cmake --install "$build" >/dev/null
grep -qx "RABBIT_PASSWORD=operators-own" "$stage/etc/quorvel/dirmirror.env" || fail "settings overwritten"
echo "install layout as expected"
