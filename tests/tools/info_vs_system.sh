#!/bin/bash
# `pmtsys info` must agree with what Linux says: /proc/cpuinfo, nproc and uname. The family is
# the processor's base family (Linux adds the extended family above 15); the brand is not
# compared, since hypervisors may rename the processor to the kernel. Argument: the command.
set -u
info=$("$1" info) || { echo "pmtsys info failed"; exit 1; }
failures=0
field() { sed -n "/^$1\$/,/^[a-z]/ s/^  $2: //p" <<<"$info"; }
system() { sed -n "s/^$1[[:space:]]*: //p" /proc/cpuinfo | head -n 1; }
expect() { # what, ours, the system's
  if [ "$2" != "$3" ]; then echo "$1: pmtsys says '$2', the system '$3'"; failures=$((failures + 1)); fi
}
family=$(system 'cpu family') && [ "$family" -gt 15 ] && family=15
expect vendor "$(field processor vendor)" "$(system vendor_id)"
expect family "$(field processor family)" "$family"
expect model "$(field processor model)" "$(system model)"
expect stepping "$(field processor stepping)" "$(system stepping)"
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
