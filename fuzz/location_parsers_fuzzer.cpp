// SPDX-License-Identifier: MIT
// The keyring location parsers read text that the kernel, fdisk and the
// U-Boot tool configuration supply. Fed through the same fixed line buffers
// the program reads them into, no line may crash them, leak what they
// allocate, or give a result they do not document.
//
// The first input byte picks the parser (its low two bits); the rest is the
// text, read line by line with fgets as the program reads its files.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "keyring/location_parsers.h"

namespace {

void fail(const char *what)
{
  fprintf(stderr, "location_parsers_fuzzer: %s\n", what);
  abort();
}

bool names_nand(const char *value, size_t length)
{
  for (const char *prefix : {"ubi", "mtd", "/dev/ubi", "/dev/mtd"})
    if (length >= strlen(prefix) && strncmp(value, prefix, strlen(prefix)) == 0)
      return true;
  return false;
}

void check_cmdline(const char *line)
{
  // The value found lies within the line and decides. Without quotes the
  // kernel's words are the runs of non-blanks (its isspace: \t to \r, the
  // blank, 0xa0): the last that begins with "root=" counts, none after a
  // lone "--".
  const char *found = nullptr;
  size_t found_len = 0;
  const int has_root = cmdline_value(line, "root", &found, &found_len);
  if (has_root == 1 && (found < line || found + found_len > line + strlen(line)))
    fail("cmdline_value outside the line");
  if (parse_cmdline_root(line) != (has_root == 1 ? names_nand(found, found_len) : -1))
    fail("parse_cmdline_root result");
  char *copy = strdup(line);
  if (copy == nullptr || strchr(line, '"') != nullptr) {
    free(copy);
    return;
  }
  const char *value = nullptr;
  char *state = nullptr;
  const char *blanks = " \t\n\v\f\r\xa0";
  for (char *word = strtok_r(copy, blanks, &state); word != nullptr; word = strtok_r(nullptr, blanks, &state)) {
    if (strcmp(word, "--") == 0)
      break;
    if (strncmp(word, "root=", 5) == 0)
      value = word + 5;
  }
  if ((value != nullptr) != (has_root == 1) ||
      (value != nullptr && (strlen(value) != found_len || strncmp(value, found, found_len) != 0)))
    fail("cmdline_value value");
  free(copy);
}

void check_mtd(const char *line)
{
  char *device = nullptr;
  const int result = parse_mtd_line(line, &device);
  if (result == 1) {
    // The device is the line's first field without its last character (the
    // colon of "mtd3:"; whatever character it is).
    const size_t field = strcspn(line, " \t\n\v\f\r");
    if (device == nullptr || field < 1 || strlen(device) != field - 1 ||
        memcmp(device, line, field - 1) != 0)
      fail("parse_mtd_line device");
    free(device);
  } else if (result != 0 || device != nullptr) {
    fail("parse_mtd_line result");
  }
}

void check_fdisk(const char *line, fdisk_layout *layout)
{
  int partition = -12345;
  const fdisk_layout before = *layout;
  const int result = parse_fdisk_line(line, layout, &partition);
  if (result == 1 && (before == FDISK_NO_HEADER || *layout != before))
    fail("parse_fdisk_line took a row before a header, or a header as a row");
  if (result == 0 && partition != -12345)
    fail("parse_fdisk_line set a partition without a match");
  if (result != 0 && result != 1)
    fail("parse_fdisk_line result");
}

void check_fwenv(const char *line)
{
  char *device = nullptr;
  uint64_t offset = 0;
  uint64_t size = 0;
  const int result = parse_fwenv_line(line, &device, &offset, &size);
  if (result == 1) {
    if (device == nullptr || line[0] == '#' || offset > UINT64_MAX - size)
      fail("parse_fwenv_line accepted a line it must skip");
    free(device);
  } else if (result != 0 || device != nullptr) {
    fail("parse_fwenv_line result");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size < 2)
    return 0;
  const unsigned parser = data[0] & 3u;
  FILE *text = fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "r");
  if (text == nullptr)
    return 0;

  // /proc/cmdline: its first line, whole; the other sources through the
  // program's 128-byte line buffer.
  char line[LOCATION_LINE_LEN];
  if (parser == 0) {
    char *whole = nullptr;
    size_t capacity = 0;
    if (getline(&whole, &capacity, text) > 0)
      check_cmdline(whole);
    free(whole);
  } else {
    fdisk_layout layout = FDISK_NO_HEADER;
    while (fgets(line, LOCATION_LINE_LEN, text) != nullptr) {
      if (parser == 1)
        check_mtd(line);
      else if (parser == 2)
        check_fdisk(line, &layout);
      else
        check_fwenv(line);
    }
  }
  fclose(text);
  return 0;
}
