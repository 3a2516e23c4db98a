#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks what a reader copies from the documentation:
# - every relative link in the given Markdown files names a file that exists
#   and, with a #anchor into a Markdown file, one of its headings (as GitHub
#   makes anchors: lower case, punctuation dropped, blanks as '-');
# - every command in their code (fenced and indented blocks, `code` spans)
#   that starts with lockwarden-tool uses only options the built program
#   takes. The options come from the program, not from a list here: those its
#   usage text (--help) lists, long as --name and short as -x; any other
#   counts when the program, asked "PROGRAM OPTION --help", ends with status
#   0 (--version answers itself; an option it does not know gets the usage
#   text and status 1). So an option added to the program is accepted here
#   as soon as the program has it.
# Usage: check-docs.sh PROGRAM FILE.md...
set -eu
if [ $# -lt 2 ]; then
  echo "usage: $0 PROGRAM FILE.md..." >&2
  exit 2
fi
program=$1
shift
help=$("$program" --help) || { echo "$program --help failed"; exit 1; }

# The usage text first (standard input), then the documents. Prints
# "option NAME FILE:LINE" for an option the usage text does not list, a
# finding for each broken link, and a summary line.
findings=$(printf '%s\n' "$help" | awk '
function slug(text) {
  text = tolower(text)
  gsub(/[^a-z0-9 _-]/, "", text)
  gsub(/ /, "-", text)
  return text
}
# The fence of the fenced code block open after LINE, "" outside one.
function next_fence(fence, line) {
  if (!match(line, /^ *(```|~~~)/))
    return fence
  if (fence == "")
    return substr(line, RLENGTH - 2, 3)
  return index(line, fence) ? "" : fence
}
# The anchors of the headings of a Markdown file, outside fenced blocks.
function load_anchors(path,   line, fence, was, text, s) {
  if (path in loaded)
    return
  loaded[path] = 1
  fence = ""
  while ((getline line < path) > 0) {
    was = fence
    fence = next_fence(fence, line)
    if (was != "" || fence != "" || !match(line, /^#+ /) || RLENGTH > 7)
      continue
    text = substr(line, RLENGTH + 1)
    sub(/[ #]+$/, "", text)
    s = slug(text)
    if ((path SUBSEP s) in seen)
      s = s "-" seen[path SUBSEP s]
    seen[path SUBSEP slug(text)]++
    anchor[path SUBSEP s] = 1
  }
  close(path)
}
function check_link(target, where,   path, name, mark) {
  links++
  sub(/^</, "", target)
  sub(/>?([ \t].*)?$/, "", target)
  # A URL, or an absolute path: not a link into this tree.
  if (target ~ /^[A-Za-z][A-Za-z0-9+.-]*:/ || target ~ /^\//)
    return
  name = target
  mark = index(target, "#")
  if (mark)
    target = substr(target, 1, mark - 1)
  path = target == "" ? file : dir target
  if (target != "" && system("test -e \"" path "\"") != 0) {
    print where ": link to " name ": no such file"
    return
  }
  if (!mark || path !~ /\.md$/)
    return
  load_anchors(path)
  if (!((path SUBSEP substr(name, mark + 1)) in anchor))
    print where ": link to " name ": no such heading"
}
function check_option(name, where) {
  if (!(name in known))
    print "option " name " " where
}
# One shell command: the options of lockwarden-tool, if it is that.
function check_command(text, where,   word, n, i, k, c, name) {
  n = split(text, word, /[ \t]+/)
  i = 1
  while (i <= n && (word[i] == "" || word[i] ~ /^(sudo|exec|!|if|then|do|time|nice|\$)$/ || word[i] ~ /^[A-Za-z_][A-Za-z0-9_]*=/))
    i++
  if (i > n)
    return
  name = word[i]
  sub(/.*\//, "", name)
  if (name != "lockwarden-tool")
    return
  commands++
  for (i++; i <= n; i++) {
    if (word[i] == "--")
      return
    if (word[i] !~ /^-./)
      continue
    if (word[i] ~ /^--/) {
      name = word[i]
      sub(/=.*/, "", name)
      check_option(name, where)
      continue
    }
    # Bundled short options, up to one that takes a value.
    for (k = 2; k <= length(word[i]); k++) {
      c = "-" substr(word[i], k, 1)
      check_option(c, where)
      if (c in takes_value)
        break
    }
  }
}
# A line or span of code: its commands, without comments.
function check_code(text, where,   n, part, i) {
  sub(/(^|[ \t])#.*$/, "", text)
  gsub(/&&|\|\||;|\|/, "\n", text)
  n = split(text, part, "\n")
  for (i = 1; i <= n; i++)
    check_command(part[i], where)
}
# A paragraph of prose: its code spans, then its links.
function check_prose(text, where,   span, link) {
  while (match(text, /`[^`]+`/)) {
    span = substr(text, RSTART + 1, RLENGTH - 2)
    text = substr(text, 1, RSTART - 1) " " substr(text, RSTART + RLENGTH)
    check_code(span, where)
  }
  while (match(text, /\]\([^)]*\)/)) {
    link = substr(text, RSTART + 2, RLENGTH - 3)
    text = substr(text, RSTART + RLENGTH)
    check_link(link, where)
  }
}
function end_paragraph() {
  if (paragraph != "")
    check_prose(paragraph, paragraph_where)
  paragraph = ""
}
FNR == NR {
  # An option line of the usage text: its long and short options. A short
  # option takes a value when its line shows one (=, <).
  if ($0 ~ /^[ \t]+-/) {
    line = $0
    while (match(line, /(^|[ \t,|[])--?[A-Za-z0-9][-A-Za-z0-9]*/)) {
      token = substr(line, RSTART, RLENGTH)
      line = substr(line, RSTART + RLENGTH)
      sub(/^[ \t,|[]/, "", token)
      if (token ~ /^--/ || length(token) == 2)
        known[token] = 1
      if (token !~ /^--/ && length(token) == 2 && $0 ~ /[=<]/)
        takes_value[token] = 1
    }
  }
  next
}
FNR == 1 {
  end_paragraph()
  files++
  file = FILENAME
  fence = ""
  indented = 0
  previous_blank = 1
  dir = file
  sub(/[^\/]*$/, "", dir)
}
{
  where = FILENAME ":" FNR
  was = fence
  fence = next_fence(fence, $0)
  if (was != "" && fence != "") {
    check_code($0, where)
    next
  }
  if (was != fence) {
    end_paragraph()
    next
  }
  blank = $0 ~ /^[ \t]*$/
  if (!blank && $0 ~ /^(    |\t)/ && (previous_blank || indented)) {
    end_paragraph()
    indented = 1
    previous_blank = 0
    check_code($0, where)
    next
  }
  if (!blank)
    indented = 0
  previous_blank = blank
  if (blank) {
    end_paragraph()
    next
  }
  if (match($0, /^ ? ? ?\[[^]]+\]:[ \t]+/)) {
    end_paragraph()
    check_link(substr($0, RLENGTH + 1), where)
    next
  }
  if (paragraph == "")
    paragraph_where = where
  paragraph = paragraph " " $0
}
END {
  end_paragraph()
  print "checked " links + 0 " links and " commands + 0 " lockwarden-tool commands in " files + 0 " files"
}
' - "$@")

status=0
while IFS= read -r finding; do
  case $finding in
    "option "*)
      name=${finding#option }
      where=${name#* }
      name=${name%% *}
      if ! "$program" "$name" --help </dev/null >/dev/null 2>&1; then
        echo "$where: lockwarden-tool does not take $name"
        status=1
      fi
      ;;
    "checked "*)
      echo "$finding" ;;
    *)
      echo "$finding"
      status=1 ;;
  esac
done <<EOF
$findings
EOF
exit "$status"
