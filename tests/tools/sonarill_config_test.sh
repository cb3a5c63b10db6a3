#!/usr/bin/env bash
# sonarill-config from the outside: what it prints for a file, and how it fails.
set -u
tool="$1"
data="$2"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

expect_output() { # file expected-output-file
    local out
    out="$("$tool" "$1")"
    local status=$?
    [ $status -eq 0 ] || fail "$1: exit $status"
    [ "$out" == "$(cat "$data/$2")" ] || fail "$1: printed"$'\n'"$out"
}

expect_error() { # file pattern
    local err status
    err="$("$tool" "$1" 2>&1 >/dev/null)"
    status=$?
    [ $status -eq 1 ] || fail "$1: exit $status, expected 1"
    [ "$(printf '%s\n' "$err" | wc -l)" -eq 1 ] || fail "$1: expected one line, got: $err"
    [[ "$err" == *"$2"* ]] || fail "$1: error '$err' does not say '$2'"
}

expect_output "$data/hand-edited.yaml" hand-edited.expected
expect_output "$data/config.json" config.json.expected
# Comments after values, single quotes, escapes and out-of-range numbers as YAML reads them.
expect_output "$data/yaml-tool.yaml" yaml-tool.expected
# A leading byte-order mark changes nothing.
printf '\xEF\xBB\xBF' | cat - "$data/hand-edited.yaml" >"$scratch/bom.yaml"
expect_output "$scratch/bom.yaml" hand-edited.expected
printf '\xEF\xBB\xBF' | cat - "$data/config.json" >"$scratch/bom.json"
expect_output "$scratch/bom.json" config.json.expected

expect_error "$data/not-utf8.yaml" "neither UTF-8 configuration text nor a valid JSON configuration (invalid UTF-8 on line 2)"
expect_error "$data/missing.yaml" "missing.yaml cannot be opened: No such file or directory"
expect_error "$data" "is a folder, not a file"
# Something that is no configuration is said so, not printed as an empty one.
printf 'Devices:\n- uid: a\n  name: b\n' >"$scratch/capital.yaml"
expect_error "$scratch/capital.yaml" "capital.yaml: no devices: or app_routes: section"
printf '{"devices": [' >"$scratch/cut.json"
expect_error "$scratch/cut.json" "cut.json: JSON parse error at line 1, column 14"
# Files too large to be a configuration, and endless devices, are refused without reading them.
truncate -s 16777217 "$scratch/large.yaml"
expect_error "$scratch/large.yaml" "large.yaml is larger than 16 MiB"
expect_error /dev/zero "/dev/zero is a device, not a regular file"
# A path with a line break stays on the one line of the message.
expect_error "$scratch/two"$'\n'"lines" '/two\nlines" cannot be opened'

# Output that cannot be written is an error. Only Linux has a device that is always full.
if [ -c /dev/full ]; then
    err="$("$tool" "$data/hand-edited.yaml" 2>&1 >/dev/full)"
    status=$?
    [ $status -eq 1 ] || fail "/dev/full: exit $status, expected 1"
    [ "$err" == "sonarill-config: cannot write the output: No space left on device" ] ||
        fail "/dev/full: said '$err'"
else
    echo "SKIPPED: output that cannot be written (this system has no /dev/full)"
fi

"$tool" >/dev/null 2>&1
[ $? -eq 2 ] || fail "no argument: expected usage and exit 2"

[ $failures -eq 0 ] && echo "sonarill-config: all cases pass"
exit $failures
