#!/usr/bin/env bash
# The round trip and the thru once more on PipeWire's JACK: a PipeWire daemon of our own
# (no session manager, no session bus), the test programs under pw-jack.
set -euo pipefail
# shellcheck source=scripts/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
build=${1:-build}
runtime=$(mktemp -d)
export XDG_RUNTIME_DIR=$runtime ZM_TEST_JACK_EXTERNAL=1
# Its two complaints about the missing session bus are harmless.
pipewire >"$runtime/pipewire.log" 2>&1 &
pw=$!
trap 'kill $pw 2>/dev/null; wait $pw 2>/dev/null; rm -rf "$runtime"' EXIT
wait_for_every 0.1 10 test -S "$runtime/pipewire-0" || true
pw-jack "$build/tests/platform/jack/zyn_jack_tests" --gtest_filter='Period/JackMidi.OneClient*/p1024'
pw-jack "$build/tests/zyn_jack_logic_tests" --gtest_filter='JackThru.ListsThePeerOnly*'
