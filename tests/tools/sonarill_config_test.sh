#!/usr/bin/env bash
# sonarill-config from the outside: what it prints for a file, and how it fails.
set -u
tool="$1"
data="$2"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

expect_output() { # file expected-output-file
    local out
    out="$("$tool" "$data/$1")"
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

expect_output hand-edited.yaml hand-edited.expected
expect_output config.json config.json.expected
expect_error "$data/not-utf8.yaml" "neither UTF-8 configuration text nor a valid JSON configuration"
expect_error "$data/missing.yaml" "No such file or directory"
expect_error "$data" "Is a directory"
"$tool" >/dev/null 2>&1
[ $? -eq 2 ] || fail "no argument: expected usage and exit 2"

[ $failures -eq 0 ] && echo "sonarill-config: all cases pass"
exit $failures
