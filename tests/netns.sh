#!/bin/sh
# Runs a command in a network namespace of its own with only loopback up, so
# the fixed virtual-port listener (1339) and the control ports it uses meet
# no other test program and no other run on this machine.
#   tests/netns.sh PROGRAM [ARGS...]
set -u
if [ "${KESTRUN_NETNS:-}" != inside ]; then
    # Root makes the namespace at once; others through a user namespace.
    if [ "$(id -u)" = 0 ]; then
        KESTRUN_NETNS=inside exec unshare -n "$0" "$@"
    fi
    KESTRUN_NETNS=inside exec unshare -r -n "$0" "$@"
fi
unset KESTRUN_NETNS
ip link set lo up || { echo "netns.sh: loopback would not come up" >&2; exit 1; }
exec "$@"
