#!/usr/bin/env bash
# gravsim stops before its run, with a nonzero status and one line naming the
# fault, on an argument it cannot use (bodies not a multiple of 256, a number
# with anything after it) and on a picture it cannot write: it never starts
# the run, reports a picture or ends in success.
#
#   gravsim_arguments_test.sh <gravsim>   (ZEQ_RUN_PREFIX: e.g. qemu-i386)
set -uo pipefail
gravsim=$1
fail() { echo "FAIL: $*"; exit 1; }
refused() { # <pattern> <arguments...>
    local pattern=$1 out status
    shift
    out=$(${ZEQ_RUN_PREFIX:-} "$gravsim" "$@" 2>&1)
    status=$?
    echo "$out"
    (( status != 0 )) || fail "gravsim $* ended with 0"
    grep -Eq "^gravsim: $pattern" <<<"$out" || fail "gravsim $* did not say: $pattern"
    ! grep -Eq '^(picture:|done in)' <<<"$out" || fail "gravsim $* ran or reported a picture"
}
refused 'bodies must be a positive multiple of 256, and 1000 is not$' 1000
refused "steps must be a whole number from 1 to [0-9]+, not '20x'$" 512 20x
# Only where this flavour writes pictures at all.
if ! ${ZEQ_RUN_PREFIX:-} "$gravsim" 256 1 /dev/null 2>&1 | grep -q 'no PNG writer'; then
    refused 'cannot write the picture /nonexistent/g\.png: No such file' 256 1 /nonexistent/g.png
fi
echo "PASS"
