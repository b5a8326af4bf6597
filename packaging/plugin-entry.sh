# Deletes the plug-in's entry from every instance on this host: through the
# server while it runs (LDAPI, bound as root by the server itself), from its
# dse.ldif while it is stopped. 389 DS loads the library of every plug-in
# entry, a disabled one too, and does not start when the library is gone.
plugin_dn="cn=dirmirror,cn=plugins,cn=config"
remove_plugin_entries() {
    for dse in /etc/dirsrv/slapd-*/dse.ldif; do
        [ -f "$dse" ] || continue
        conf=$(dirname "$dse")
        instance=$(basename "$conf")
        grep -qi "^dn: $plugin_dn\$" "$dse" || continue
        if pgrep -f "ns-slapd -D $conf( |\$)" >/dev/null 2>&1; then
            socket=$(sed -n 's/^nsslapd-ldapifilepath: *//Ip' "$dse" | head -n 1)
            if [ -n "$socket" ] && ldapdelete -Q -Y EXTERNAL \
                -H "ldapi://$(printf '%s' "$socket" | sed 's|/|%2F|g')" "$plugin_dn" 2>/dev/null; then
                echo "dirmirror: plug-in entry removed from $instance (running)" >&2
            else
                echo "dirmirror: WARNING: could not remove $plugin_dn from the running $instance;" >&2
                echo "dirmirror: delete it before the server's next start, or it will not start" >&2
            fi
        else
            tmp="$dse.dirmirror-tmp"
            awk -v dn="dn: $plugin_dn" 'BEGIN { RS = ""; ORS = "\n\n"; dn = tolower(dn) "\n" }
                index(tolower($0) "\n", dn) != 1' "$dse" >"$tmp" &&
                chown --reference="$dse" "$tmp" && chmod --reference="$dse" "$tmp" &&
                mv "$tmp" "$dse" &&
                echo "dirmirror: plug-in entry removed from $instance (stopped)" >&2
        fi
    done
}
