#!/bin/sh
# Runs a test program with a /dev/shm of its own. JACK keeps a machine-wide table of
# servers and a metadata database there: a server that a test kills on purpose may leave
# the table full or the database locked, and every later client would wait for ever.
# Without the right to make a mount namespace the program runs as it is.
if unshare --mount true 2>/dev/null; then
  exec unshare --mount --propagation private sh -c 'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec "$0" "$@"' "$@"
fi
exec "$@"
