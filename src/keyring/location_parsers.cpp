// SPDX-License-Identifier: MIT
#include "keyring/location_parsers.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *CMDLINE_BLANKS = " \t\n";

bool contains(const char *text, size_t length, const char *part)
{
  const size_t part_len = strlen(part);
  for (size_t at = 0; at + part_len <= length; at++)
    if (strncmp(text + at, part, part_len) == 0)
      return true;
  return false;
}

}  // namespace

int parse_cmdline_root(const char *line)
{
  // The kernel takes the last root= word, and none after a lone "--", which
  // ends its own parameters; nfsroot= and the like are other words.
  const char *value = nullptr;
  size_t value_len = 0;
  for (const char *word = line + strspn(line, CMDLINE_BLANKS); *word != '\0';) {
    const size_t length = strcspn(word, CMDLINE_BLANKS);
    if (length == 2 && strncmp(word, "--", 2) == 0)
      break;
    if (length >= 5 && strncmp(word, "root=", 5) == 0) {
      value = word + 5;
      value_len = length - 5;
    }
    word += length;
    word += strspn(word, CMDLINE_BLANKS);
  }
  if (value == nullptr)
    return -1;
  return contains(value, value_len, "ubi") || contains(value, value_len, "mtd") ? 1 : 0;
}

int parse_mtd_line(const char *line, char **device)
{
  if (line[0] == '\n' || strncmp(line, "mtd", 3) != 0)
    return 0;

  char *dev = nullptr;
  char *name = nullptr;
  unsigned long size = 0;
  unsigned long erasesize = 0;
  int fields = sscanf(line, "%ms %lx %lx %ms", &dev, &size, &erasesize, &name);
  const bool match = fields == 4 && strcmp(name, "\"safe\"") == 0;
  free(name);
  if (!match) {
    free(dev);
    return 0;
  }
  dev[strlen(dev) - 1] = '\0';  // the colon behind "mtdN"
  *device = dev;
  return 1;
}

namespace {

// The name is the rest of the row: "safe" only when exactly `blanks` blanks
// lead to it and the line ends right behind it, so that "safe data" or
// " safe" never counts as the keyring partition.
bool names_safe(const char *text, int blanks)
{
  for (int i = 0; i < blanks; i++)
    if (text[i] != ' ')
      return false;
  text += blanks;
  return strncmp(text, "safe", 4) == 0 && (text[4] == '\n' || text[4] == '\0');
}

}  // namespace

namespace {

constexpr const char *ROW_BLANKS = " \t\n";

// The word at `text` (after blanks) and its length; `text` moves past it.
size_t next_word(const char **text, const char **word)
{
  *word = *text + strspn(*text, ROW_BLANKS);
  const size_t length = strcspn(*word, ROW_BLANKS);
  *text = *word + length;
  return length;
}

bool is_word(const char *word, size_t length, const char *expected)
{
  return length == strlen(expected) && strncmp(word, expected, length) == 0;
}

// A header line begins with the words "Number" and "Start"; its rows carry a
// type code when one of its words is exactly "Code".
bool read_header(const char *line, fdisk_layout *layout)
{
  const char *word = nullptr;
  size_t length = next_word(&line, &word);
  if (!is_word(word, length, "Number"))
    return false;
  length = next_word(&line, &word);
  if (!is_word(word, length, "Start"))
    return false;
  *layout = FDISK_NAME_ONLY;
  while ((length = next_word(&line, &word)) != 0)
    if (is_word(word, length, "Code"))
      *layout = FDISK_TYPE_CODE;
  return true;
}

}  // namespace

int parse_fdisk_line(const char *line, fdisk_layout *layout, int *partition)
{
  if (read_header(line, layout) || *layout == FDISK_NO_HEADER)
    return 0;

  int number = 0;
  int first = 0;
  int last = 0;
  int size_end = -1;
  char *size = nullptr;

  int fields = sscanf(line, "%d %d %d %ms%n", &number, &first, &last, &size, &size_end);
  free(size);
  if (fields != 4 || size_end < 0)
    return 0;
  const char *rest = line + size_end;
  // BusyBox 1.26 and later: one blank, then the name. Before: blanks, the type
  // code (always 0700), two blanks, the name. Each row is read in the layout
  // of its header only, so that a name such as "7  safe" is never a type code
  // and a name, and a code that is not decimal (EF00) never counts.
  bool match;
  if (*layout == FDISK_NAME_ONLY) {
    match = names_safe(rest, 1);
  } else {
    const char *code = rest + strspn(rest, " \t");
    const size_t digits = strspn(code, "0123456789");
    match = digits != 0 && names_safe(code + digits, 2);
  }
  if (match)
    *partition = number;
  return match ? 1 : 0;
}

int parse_fwenv_line(const char *line, char **device, uint64_t *device_offset, uint64_t *env_size)
{
  if (line[0] == '#' || line[0] == '\n' || strcmp(line, "\r\n") == 0)
    return 0;

  char *dev = nullptr;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint64_t sector_size = 0;
  uint64_t sectors = 0;
  // Where each number field starts: the scan takes "-1" as a huge number,
  // but U-Boot reads a leading '-' as counting from the end of the device.
  int starts[4] = {-1, -1, -1, -1};
  int fields = sscanf(line, "%ms %n%" SCNx64 " %n%" SCNx64 " %n%" SCNx64 " %n%" SCNx64, &dev, &starts[0], &offset,
                      &starts[1], &size, &starts[2], &sector_size, &starts[3], &sectors);
  bool from_the_end = false;
  for (int i = 0; i < fields - 1 && i < 4; i++)
    from_the_end |= starts[i] >= 0 && line[starts[i]] == '-';
  if (fields <= 2 || from_the_end || offset > UINT64_MAX - size) {
    free(dev);
    return 0;
  }
  *device = dev;
  *device_offset = offset;
  *env_size = size;
  return 1;
}
