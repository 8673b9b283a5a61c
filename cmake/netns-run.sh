#!/bin/sh
# Runs a command in a network namespace of its own whose only link is the loopback, up. A test
# that starts a bridge runs here: the bridge's page API has a fixed port, 127.0.0.1:8091, and
# with a loopback of its own each such test can run beside the others.
# Usage: cmake/netns-run.sh command [arg...]   (needs the right to create a network namespace)
set -e
if [ -z "${PMR_NETNS_INSIDE:-}" ]; then
  PMR_NETNS_INSIDE=1 exec unshare --net -- "$0" "$@"
fi
unset PMR_NETNS_INSIDE
ip link set lo up
exec "$@"
