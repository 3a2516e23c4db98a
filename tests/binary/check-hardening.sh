#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks that a built program carries the hardening a distribution expects of
# a root tool, from its ELF headers alone (readelf works for any target):
# PIE, full RELRO, stack protector, FORTIFY, no executable stack, no text
# relocations or run paths, and no shared library but the C library (the
# program is built without exceptions and RTTI, with --as-needed) and, in a
# build with LOCKWARDEN_ESCROW, OpenSSL's libcrypto.
# Usage: check-hardening.sh [--fortify|--no-fortify] [--escrow] PROGRAM
#   --no-fortify  for unoptimised builds, where _FORTIFY_SOURCE does nothing
#   --escrow      for builds with LOCKWARDEN_ESCROW: libcrypto.so.3 allowed
# READELF may name the readelf to use.
set -u
fortify=1
escrow=0
case "${1:-}" in
  --fortify) shift ;;
  --no-fortify) fortify=0; shift ;;
esac
[ "${1:-}" = --escrow ] && escrow=1 && shift
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: $0 [--fortify|--no-fortify] [--escrow] PROGRAM" >&2
  exit 2
fi
program=$1
readelf=${READELF:-readelf}
export LC_ALL=C

header=$("$readelf" -hW "$program") || exit 2
segments=$("$readelf" -lW "$program") || exit 2
dynamic=$("$readelf" -dW "$program") || exit 2
symbols=$("$readelf" --dyn-syms -W "$program") || exit 2

failures=0
check() {
  # check NAME CONDITION-STATUS DETAIL
  if [ "$2" -eq 0 ]; then
    echo "ok   $1"
  else
    echo "FAIL $1: $3"
    failures=$((failures + 1))
  fi
}
has() { printf '%s\n' "$1" | grep -Eq "$2"; }

has "$header" 'Type:[[:space:]]+DYN' && has "$dynamic" '\(FLAGS_1\).*PIE'
check "PIE" $? "not a position-independent executable (ELF type DYN with the PIE flag)"

has "$segments" '^[[:space:]]*GNU_RELRO[[:space:]]'
check "RELRO" $? "no GNU_RELRO segment"

has "$dynamic" '\(BIND_NOW\)|\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*[[:space:]]NOW'
check "BIND_NOW (full RELRO)" $? "symbols are bound lazily, the GOT stays writable"

has "$symbols" '[[:space:]]__stack_chk_fail(@|$)'
check "stack protector" $? "__stack_chk_fail is not referenced"

if [ "$fortify" -eq 1 ]; then
  printf '%s\n' "$symbols" | grep -v '__stack_chk_' | grep -Eq '[[:space:]]__[a-z0-9_]+_chk(@|$)'
  check "FORTIFY" $? "no fortified __*_chk function is referenced"
fi

stack=$(printf '%s\n' "$segments" | grep -E '^[[:space:]]*GNU_STACK[[:space:]]')
[ -n "$stack" ] && ! printf '%s\n' "$stack" | grep -Eq '[[:space:]]RWE[[:space:]]'
check "non-executable stack" $? "${stack:-no GNU_STACK segment: the stack defaults to executable}"

! has "$dynamic" '\(TEXTREL\)|\(FLAGS\).*TEXTREL'
check "no text relocations" $? "the code is patched at load time"

! has "$dynamic" '\((RPATH|RUNPATH)\)'
check "no RPATH/RUNPATH" $? "$(printf '%s\n' "$dynamic" | grep -E '\((RPATH|RUNPATH)\)')"

# The dynamic loader itself may be NEEDED (on armhf it provides the stack
# guard); anything else but libc.so.6 is not, but for libcrypto.so.3 in an
# escrow build (never libssl).
interpreter=$(printf '%s\n' "$segments" | sed -n 's/.*Requesting program interpreter: \(.*\)\]$/\1/p')
interpreter=${interpreter##*/}
needed=$(printf '%s\n' "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
extra=""
for lib in $needed; do
  [ "$lib" = "libc.so.6" ] || [ "$lib" = "$interpreter" ] ||
    { [ "$escrow" -eq 1 ] && [ "$lib" = "libcrypto.so.3" ]; } || extra="$extra $lib"
done
has "$needed" '^libc\.so\.6$' && [ -z "$extra" ]
check "NEEDED only libc" $? "needs:$(echo $needed | tr '\n' ' ')"

[ "$failures" -eq 0 ]
