#!/bin/bash
# The plug-in library exports exactly its documented names, needs nothing from
# outside but the server's slapi_* functions, the C/C++ runtime, rabbitmq-c and
# OpenSSL (for the reasons of a refused TLS connection),
# and is not linked against the server's own library.
set -euo pipefail
lib=$1
# A second argument names the sanitizer the library was built with. Its
# runtime then supplies the C library's functions without their versions and
# adds references of its own, so only the exports and the linked libraries
# are checked; the plain build checks the imports.
sanitizer=${2:-}
status=0

expected="__send_message
connection_config
die_on_amqp_error
dm_str_format
fullsync
get_entry_rodide_add
get_entry_rodide_delete
get_entry_rodide_init
get_entry_rodide_modify
initialize_config
ldap_passing_data
path_to_config
send_alive
send_message
set_config_fields
targets
targets_size"
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$exported" != "$expected" ]; then
    echo "exported symbols differ:"; diff <(echo "$expected") <(echo "$exported") || true
    status=1
fi

foreign=$(nm -D --undefined-only "$lib" | awk '{print $NF}' |
    grep -vE '^(slapi_|amqp_)' |
    grep -vE '@(GLIBC|GLIBCXX|CXXABI|GCC|OPENSSL)_' |
    grep -vxE '__gmon_start__|_ITM_(de)?registerTMCloneTable|__cxa_finalize' || true)
if [ -n "$sanitizer" ]; then foreign=; fi
if [ -n "$foreign" ]; then
    echo "unexpected undefined symbols:"; echo "$foreign"
    status=1
fi

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "$needed" | grep -qx 'librabbitmq.so.4' || { echo "not linked with librabbitmq.so.4"; status=1; }
if echo "$needed" | grep -q slapd; then
    echo "linked against the server library: $needed"; status=1
fi
[ $status -eq 0 ] && echo "exports and imports as expected"
exit $status
