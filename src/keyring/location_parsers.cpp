// SPDX-License-Identifier: MIT
#include "keyring/location_parsers.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Blanks as the kernel's isspace() has them, the Latin-1 no-break space
// included.
bool is_cmdline_blank(char c)
{
  const unsigned char u = static_cast<unsigned char>(c);
  return u == ' ' || (u >= '\t' && u <= '\r') || u == 0xa0;
}

// One parameter of the command line, as the kernel's next_arg() cuts it.
struct cmdline_word {
  const char *param;
  size_t param_len;
  const char *value;  // nullptr: the word has no '='
  size_t value_len;
  size_t length;  // what the word takes of the line, its quotes included
};

// The length of the word at `text`, up to `end` at the latest: a double
// quote starts or ends a stretch in which blanks do not split. `equals` is
// set to the index of its first '=', quoted or not; it stays 0 without one,
// as in the kernel (where an '=' first counts as none).
size_t word_extent(const char *text, const char *end, bool in_quote, size_t *equals)
{
  size_t i = 0;
  for (; text + i < end; i++) {
    if (is_cmdline_blank(text[i]) && !in_quote)
      break;
    if (*equals == 0 && text[i] == '=')
      *equals = i;
    if (text[i] == '"')
      in_quote = !in_quote;
  }
  return i;
}

// The word at `text` (no blank there), which ends at `end` at the latest.
// A quote at the start of the word or of its value and the one at its end
// are not part of it. The first '=' of the word ends the name.
cmdline_word next_cmdline_word(const char *text, const char *end)
{
  const char *start = text;
  const bool quoted = *text == '"';
  if (quoted)
    text++;
  size_t equals = 0;
  const size_t i = word_extent(text, end, quoted, &equals);
  const bool closing_quote = i > 0 && text[i - 1] == '"';
  cmdline_word word = {text, equals != 0 ? equals : i, nullptr, 0, static_cast<size_t>(text + i - start)};
  if (equals != 0) {
    const char *value = text + equals + 1;
    const char *value_end = text + i;
    if (value < value_end && *value == '"') {
      value++;
      if (closing_quote)
        value_end--;
    }
    if (quoted && closing_quote)
      value_end = text + i - 1;
    word.value = value;
    word.value_len = value_end > value ? static_cast<size_t>(value_end - value) : 0;
  } else if (quoted && closing_quote) {
    word.param_len--;
  }
  return word;
}

bool begins_with(const char *text, size_t length, const char *prefix)
{
  const size_t prefix_len = strlen(prefix);
  return length >= prefix_len && strncmp(text, prefix, prefix_len) == 0;
}

}  // namespace

int cmdline_value(const char *line, const char *key, const char **value, size_t *value_len)
{
  // /proc/cmdline ends the kernel's line with a newline of its own.
  const char *end = line + strlen(line);
  if (end > line && end[-1] == '\n')
    end--;
  const size_t key_len = strlen(key);
  int found = 0;
  for (const char *text = line; text < end;) {
    if (is_cmdline_blank(*text)) {
      text++;
      continue;
    }
    const cmdline_word word = next_cmdline_word(text, end);
    // A lone "--" ends the kernel's own parameters: the rest is init's.
    if (word.value == nullptr && word.param_len == 2 && strncmp(word.param, "--", 2) == 0)
      break;
    if (word.value != nullptr && word.param_len == key_len && strncmp(word.param, key, key_len) == 0) {
      *value = word.value;
      *value_len = word.value_len;
      found = 1;
    }
    text += word.length;
  }
  return found;
}

int parse_cmdline_root(const char *line)
{
  // The kernel takes the last root= word; nfsroot= and the like are other
  // words. Only a value that begins as a UBI volume or an MTD device does:
  // /dev/mapper/cubie-root names neither.
  const char *value = nullptr;
  size_t value_len = 0;
  if (cmdline_value(line, "root", &value, &value_len) == 0)
    return -1;
  return begins_with(value, value_len, "ubi") || begins_with(value, value_len, "mtd") ||
                 begins_with(value, value_len, "/dev/ubi") || begins_with(value, value_len, "/dev/mtd")
             ? 1
             : 0;
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
