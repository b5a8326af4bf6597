#!/usr/bin/env bash
# Runs the TLS tests (the binary given) against a RabbitMQ node of their own
# with a TLS listener and certificates made afresh by testbed/tls-certs: once
# with a broker that requires client certificates, once with one that does not.
set -euo pipefail
bin=$1
repo=$(cd "$(dirname "$0")/.." && pwd)
export DIRMIRROR_RUN=${DIRMIRROR_TLS_RUN:-/tmp/dirmirror-tls-run}
export DIRMIRROR_BROKER_NODE=${DIRMIRROR_TLS_NODE:-rabbittls@localhost}
export DIRMIRROR_AMQP_PORT=${DIRMIRROR_TLS_AMQP_PORT:-5685}
export DIRMIRROR_TLS_PORT=${DIRMIRROR_TLS_PORT:-5686}
export DIRMIRROR_TLS_DIR
DIRMIRROR_TLS_DIR=$("$repo/testbed/tls-certs" "$DIRMIRROR_RUN/certs")
trap '"$repo/testbed/broker-stop" >/dev/null 2>&1 || true' EXIT
status=0
for mode in required optional; do
    export DIRMIRROR_TLS_PEER_CERT=$mode
    "$repo/testbed/broker-stop" >/dev/null 2>&1 || true
    "$repo/testbed/broker-start" >/dev/null
    echo "tls_run: broker requires client certificates: $mode"
    "$bin" || status=1
done
exit $status
