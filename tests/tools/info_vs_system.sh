#!/bin/bash
# `pmtsys info` (argument: the command) against /proc/cpuinfo, nproc and uname: the base family
# (Linux adds the extended one above 15), not the brand (hypervisors may rename the processor).
set -u
info=$("$1" info) || { echo "pmtsys info failed"; exit 1; }
failures=0
field() { sed -n "/^$1\$/,/^[a-z]/ s/^  $2: //p" <<<"$info"; }
system() { sed -n "s/^$1[[:space:]]*: //p" /proc/cpuinfo | head -n 1; }
expect() { # what, ours, the system's
  if [ "$2" != "$3" ]; then echo "$1: pmtsys says '$2', the system '$3'"; failures=$((failures + 1)); fi
}
family=$(system 'cpu family') && [ "$family" -gt 15 ] && family=15
expect family "$(field processor family)" "$family"
for pair in vendor:vendor_id model:model stepping:stepping; do
  expect "${pair%:*}" "$(field processor "${pair%:*}")" "$(system "${pair#*:}")"
done
expect processors "$(field processor processors)" "$(nproc --all)"
mask=$(field processor 'active mask') && active=0
for ((bit = 0; bit < 32; ++bit)); do active=$((active + (mask >> bit & 1))); done
expect "active processors" "$active" "$(nproc)"
flags=" $(system flags) " && features=""
for pair in mmx:mmx sse:sse sse2:sse2 sse3:pni sse4.1:sse4_1; do
  [[ $flags == *" ${pair#*:} "* ]] && features="$features ${pair%%:*}"
done
expect features "$(field processor features)" "${features# }"
IFS=.- read -r major minor patch _ <<<"$(uname -r)"
expect "os version" "$(field "operating system" version)" "$major.$minor"
expect "os build" "$(field "operating system" build)" "$patch"
echo "$failures differences"
[ $failures = 0 ]
