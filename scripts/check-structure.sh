#!/bin/sh
# SPDX-License-Identifier: MIT
# The shape of the code: no file in src/ over 300 lines, no function over 60
# (the MD5 transform's 64 written-out steps aside), no test file over 450,
# and an include graph in layers: cli > volume > keyblob > keyring > util,
# nothing including a layer above its own or one of the same rank, and no
# circle among the files. Usage: scripts/check-structure.sh
set -eu
cd "$(dirname "$0")/.."
failed=0
fail() { echo "check-structure: $*"; failed=1; }

for f in $(git ls-files 'src/*.cpp' 'src/*.h' 'src/*.in'); do
  lines=$(wc -l <"$f")
  [ "$lines" -le 300 ] || fail "$f has $lines lines (300 at most)"
done
for f in $(git ls-files 'tests/*.cpp' 'tests/*.h' | grep -v '^tests/vm/'); do
  lines=$(wc -l <"$f")
  [ "$lines" -le 450 ] || fail "$f has $lines lines (450 at most)"
done

# A function's body runs from a "{" alone in column 0 to the next "}" there.
long=$(awk 'FNR == 1 { start = 0 }
  /^\{$/ { start = FNR; name = previous }
  /^\}/ && start { if (FNR - start - 1 > 60 && name !~ /md5_transform/) printf "%s:%d: %s: %d lines\n", FILENAME, start, name, FNR - start - 1; start = 0 }
  { previous = $0 }' $(git ls-files 'src/*.cpp'))
[ -z "$long" ] || fail "functions over 60 lines:
$long"

rank() {
  case "$1" in cli) echo 5 ;; volume) echo 4 ;; keyblob) echo 3 ;; keyring) echo 2 ;; util) echo 1 ;; *) echo 0 ;; esac
}
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
for f in $(git ls-files 'src/*/*.cpp' 'src/*/*.h'); do
  from=${f#src/}
  folder=${from%%/*}
  for included in $(sed -n 's/^#include "\([a-z_]*\/[^"]*\)".*/\1/p' "$f"); do
    to=${included%%/*}
    if [ "$to" != "$folder" ] && [ "$(rank "$to")" -ge "$(rank "$folder")" ]; then
      fail "$f includes $included: $to is not below $folder"
    fi
    echo "${from%.*} ${included%.*}" >>"$edges"
  done
done
# A source and its header are one node; tsort names the files of any circle.
sed 's/\.cpp / /' "$edges" | awk '$1 != $2' | tsort >/dev/null 2>"$edges.loop" || true
[ ! -s "$edges.loop" ] || fail "include circle: $(cat "$edges.loop")"
rm -f "$edges.loop"

[ "$failed" -eq 0 ] && echo "check-structure: sizes and include layers as they should be"
exit "$failed"
