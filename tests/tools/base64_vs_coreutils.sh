#!/bin/bash
# Compares `pmtsys base64` with the system's base64 on random data of many sizes: encoding with
# several wraps, decoding wrapped text, and text with garbage inserted, with and without -i.
# Standard output and exit status must be the same. Arguments: the command (with its emulator).
set -u
RANDOM=7
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
failures=0
pmtsys=("$@")
same() { # what, then the arguments of both tools
  local what=$1 expected actual
  base64 "${@:2}" >"$work/expected" 2>/dev/null; expected=$?
  "${pmtsys[@]}" base64 "${@:2}" >"$work/actual" 2>/dev/null; actual=$?
  if [ $expected != $actual ] || ! cmp -s "$work/expected" "$work/actual"; then
    echo "differs: $what (status $expected, ours $actual)"; failures=$((failures + 1))
  fi
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
    for flag in -d -di; do
      same "$flag $size bytes, '$garbage' at $at" $flag "$work/bad"
    done
  done
done
# Exit statuses: an unreadable file is a failure, a bad option or operand a usage error.
"${pmtsys[@]}" base64 "$work/missing" 2>/dev/null; [ $? = 1 ] || { echo "missing file"; failures=$((failures + 1)); }
"${pmtsys[@]}" base64 -q 2>/dev/null; [ $? = 2 ] || { echo "bad option"; failures=$((failures + 1)); }
"${pmtsys[@]}" base64 -w x 2>/dev/null; [ $? = 2 ] || { echo "bad wrap"; failures=$((failures + 1)); }
echo "$failures differences"
[ $failures = 0 ]
