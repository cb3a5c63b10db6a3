#!/usr/bin/env bash
# sonarill-sim from the outside: how it refuses arguments and reports a failed command. What it
# changes in the shared system, the simulation's tests show.
set -u
tool="$1"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
XDG_DATA_HOME="$(mktemp -d)"
export XDG_DATA_HOME
unset SONARILL_SIM_WORLD
trap 'rm -rf "$XDG_DATA_HOME"' EXIT

expect() { # status pattern arguments...
    local status="$1" pattern="$2" err
    shift 2
    err="$("$tool" "$@" 2>&1 >/dev/null)"
    local got=$?
    [ $got -eq "$status" ] || fail "$*: exit $got, expected $status"
    [[ "$err" == *"$pattern"* ]] || fail "$*: '$err' does not say '$pattern'"
}

expect 2 "usage: sonarill-sim join|start"
expect 2 "usage:" stay print
expect 2 "usage:" join wait
expect 2 "usage:" join wait -1
expect 2 "usage:" join wait soon
expect 2 "usage:" join output
expect 1 "no device with output has the UID Nowhere" join output Nowhere
expect 1 "BuiltInMicrophoneDevice" join output BuiltInMicrophoneDevice
expect 0 "output=LGHDMIDisplay:0 system=BuiltInSpeakerDevice" start output LGHDMIDisplay:0 wait 0 print
expect 0 "output=LGHDMIDisplay:0 system=" join print

[ $failures -eq 0 ] && echo "sonarill-sim: all cases pass"
exit $((failures > 0))
