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

#include "keyring/location_parsers.h"

namespace {

void fail(const char *what)
{
  fprintf(stderr, "location_parsers_fuzzer: %s\n", what);
  abort();
}

void check_cmdline(char *line)
{
  // The value runs from the first "root=" to the next blank (only a blank).
  const char *root = strstr(line, "root=");
  int expected = -1;
  if (root != nullptr) {
    const size_t length = strcspn(root, " ");
    const char *ubi = strstr(root, "ubi");
    const char *mtd = strstr(root, "mtd");
    const bool nand = (ubi != nullptr && static_cast<size_t>(ubi - root) + 3 <= length) ||
                      (mtd != nullptr && static_cast<size_t>(mtd - root) + 3 <= length);
    expected = nand ? 1 : 0;
  }
  if (parse_cmdline_root(line) != expected)
    fail("parse_cmdline_root result");
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

void check_fdisk(const char *line)
{
  int partition = -12345;
  const int result = parse_fdisk_line(line, &partition);
  if (result == 0 && partition != -12345)
    fail("parse_fdisk_line set a partition without a match");
  if (result != 0 && result != 1)
    fail("parse_fdisk_line result");
}

void check_fwenv(const char *line)
{
  char *device = nullptr;
  uint32_t offset = 0;
  uint32_t size = 0;
  const int result = parse_fwenv_line(line, &device, &offset, &size);
  if (result == 1) {
    if (device == nullptr || line[0] == '#')
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

  // The program's own buffer sizes: 256 bytes for /proc/cmdline (only its
  // first line is read), 128 bytes for the other sources.
  char line[CMDLINE_LINE_LEN];
  if (parser == 0) {
    if (fgets(line, CMDLINE_LINE_LEN, text) != nullptr)
      check_cmdline(line);
  } else {
    while (fgets(line, LOCATION_LINE_LEN, text) != nullptr) {
      if (parser == 1)
        check_mtd(line);
      else if (parser == 2)
        check_fdisk(line);
      else
        check_fwenv(line);
    }
  }
  fclose(text);
  return 0;
}
