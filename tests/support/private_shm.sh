#!/usr/bin/env bash
# Runs a test program with a /dev/shm of its own (see scripts/lib/common.sh). Without the
# right to make a mount namespace the program runs as it is.
set -euo pipefail
# shellcheck source=scripts/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/common.sh"
private_shm_possible && exec_with_private_shm "$@"
exec "$@"
