#!/bin/bash
# `pmtsys base64` (arguments: the command and its emulator) against the system's base64, same
# output and status: random data encoded at several wraps, decoded, with garbage, with or without -i
set -u
RANDOM=7
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
failures=0
pmtsys=("$@")
fail() { echo "$1"; failures=$((failures + 1)); }
same() { # what, then the arguments of both tools
  local expected actual
  base64 "${@:2}" >"$work/expected" 2>/dev/null; expected=$?
  "${pmtsys[@]}" base64 "${@:2}" >"$work/actual" 2>/dev/null; actual=$?
  [ $expected = $actual ] && cmp -s "$work/expected" "$work/actual" ||
    fail "differs: $1 (status $expected, ours $actual)"
}
sizes="0 1 2 3 57 1000 65537 200003"
[ $# -gt 1 ] && sizes="0 1 2 57 65537" # through an emulator, each run costs most of a second
for size in $sizes; do
  head -c $size /dev/urandom >"$work/data"
  for wrap in 76 0 5; do
    same "encode $size bytes -w $wrap" -w $wrap "$work/data"
    base64 -w $wrap "$work/data" >"$work/text"
    same "decode $size bytes -w $wrap" -d "$work/text"
  done
  for garbage in '!' ' ' '\r' '=' '\000' '-_'; do
    length=$(stat -c %s "$work/text") && at=$((RANDOM * 8 % (length + 1)))
    { head -c $at "$work/text"; printf -- "$garbage"; tail -c +$((at + 1)) "$work/text"; } >"$work/bad"
    for flag in -d -di; do same "$flag $size bytes, '$garbage' at $at" $flag "$work/bad"; done
  done
done
# Exit statuses: an unreadable file is a failure, a bad option or operand a usage error.
for run in "1 $work/missing" "2 -q" "2 -w x"; do
  read -r status arguments <<<"$run"
  "${pmtsys[@]}" base64 $arguments 2>/dev/null; [ $? = "$status" ] || fail "status of base64 $arguments"
done
echo "$failures differences"
[ $failures = 0 ]
