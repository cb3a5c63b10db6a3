#!/usr/bin/env bash
# sonarill-engine-soak from the outside: the arguments it refuses, the figures it prints, and how a
# run ends, never leaving its scratch folder behind.
set -u
tool="$1"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work/tmp" # where the tool makes its scratch folder
mkdir "$TMPDIR"

# Each row: exit status | arguments | patterns for lines of what the tool printed and said, each
# found in some line, or, after "!", in none.
rows=(
    '2|--pipelines 1.5 --seconds 0.1|^sonarill-engine-soak: --pipelines: expected a whole number from 1 to 8, got "1\.5"$|^usage: '
    '2|--frames 0x200 --seconds 0.1|--frames: expected a whole number from 15 to 4096, got "0x200"'
    '2|--seconds 0x10|--seconds: expected a number of seconds above 0, got "0x10"'
    '2|--pipelines 2 --seconds|--seconds needs a value'
    '2|--apps 0 --seconds 0.1|--apps: expected a whole number from 1 to 1000, got "0"'
    # Over before the first impulse: no latency to tell.
    '0|--seconds 0.1|^impulses_measured=0$|!latency'
    # A device clock 9% fast drains the ring, which underruns from about half a second on, its fill
    # off the target again and again. Impulses stop 1.5 s before the end: 4 s leave room to
    # measure one under ThreadSanitizer on a busy machine.
    '0|--seconds 4 --pipelines 1 --frames 1024 --ppm 90000|^latency_priming_ms=42\.67$|^first_underrun_s=[01]\.[0-9]{2}$|^first_overflow_s=none$|^off_target_episodes=[1-9]|^off_target_max_s=[0-9.]+$'
    '2|--target-ms 0|--target-ms: expected a number of milliseconds above 0 and at most 300, got "0"'
    # The drift figures, whatever their values on a loaded machine; the tone after the impulses,
    # on every device (each application routed to its own).
    '0|--seconds 2.5 --pipelines 2 --ppm 100 --target-ms 30|^dropouts_per_hour=|^fill_target_frames=1440$|^fill_mean_frames=|^fill_sd_frames=|^ratio_min_ppm=|^ratio_max_ppm=|^thdn_db=-|^silent_at_end=0$'
    # One 10% slow fills it until audio is dropped, after about 1.5 seconds: its fill far above
    # the target is cut back (a skip), or, later, the ring is full.
    '0|--seconds 3 --pipelines 1 --frames 4096 --ppm -99999|^latency_priming_ms=170\.67$|^first_overflow_s=[12]\.[0-9]{2}$|^skips_per_hour=[1-9]'
)
for row in "${rows[@]}"; do
    IFS='|' read -r -a fields <<<"$row"
    read -r -a arguments <<<"${fields[1]}"
    "$tool" "${arguments[@]}" >"$work/said" 2>&1
    status=$?
    [ $status -eq "${fields[0]}" ] || fail "${fields[1]}: exit $status, expected ${fields[0]}"
    for pattern in "${fields[@]:2}"; do
        if [[ "$pattern" == !* ]]; then
            ! grep -qE -- "${pattern:1}" "$work/said" || fail "${fields[1]}: said '${pattern:1}'"
        else
            grep -qE -- "$pattern" "$work/said" || fail "${fields[1]}: did not say '$pattern'"
        fi
    done
    [ -z "$(ls -A "$TMPDIR")" ] || fail "${fields[1]}: left $(ls "$TMPDIR") behind"
    rm -rf "${TMPDIR:?}"/*
done
# The last row's last impulse, found in the device's recording, is where the callbacks saw it
# play, give or take how late their threads woke: a quarter of a period (20 ms of 85), as
# ThreadSanitizer on a loaded machine once put the input's thread 5 ms late.
recorded="$(sed -n 's/^latency_check_recorded_samples=//p' "$work/said")"
callbacks="$(sed -n 's/^latency_check_callbacks_samples=//p' "$work/said")"
if [ -z "$recorded" ] || [ -z "$callbacks" ]; then
    fail "no latency check"
elif [ $((recorded - callbacks)) -gt 960 ] || [ $((callbacks - recorded)) -gt 960 ]; then
    fail "the recording puts the impulse $recorded samples late, the callbacks $callbacks"
fi

# A run that would never end, stopped by SIGINT: the figures of the time it ran, then the
# interrupted status. Its figures fit in fixed memory, so it starts at all.
"$tool" --seconds 1e9 --pipelines 1 >"$work/said" 2>&1 &
pid=$!
sleep 1.5
kill -INT $pid
wait $pid
status=$?
[ $status -eq 130 ] || fail "SIGINT: exit $status, expected 130"
grep -qE '^impulses_measured=[1-9]' "$work/said" || fail "SIGINT: said $(cat "$work/said")"
[ -z "$(ls -A "$TMPDIR")" ] || fail "SIGINT: left $(ls "$TMPDIR") behind"

[ $failures -eq 0 ] && echo "sonarill-engine-soak: all cases pass"
exit $failures
