// SPDX-License-Identifier: MIT
#include "cli/status_report.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr const char *KEY_NAMES[STATUS_KEY_COUNT] = {
    "BOARD",    "DISK", "KEYRING", "KEYRING_OFFSET", "PRIMARY", "FALLBACK",       "VOLUME",
    "KEY_OPENS", "KEYSLOT", "KDF", "TOKENS",         "MAPPED",  "MAPPED_AS_NAME", "REASON",
};

bool stands_bare(const char *value)
{
  for (const char *c = value; *c != '\0'; c++) {
    if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9'))
      continue;
    if (strchr("/._:=@,+-", *c) == nullptr)
      return false;
  }
  return true;
}

void write_value(FILE *out, const char *value)
{
  if (stands_bare(value)) {
    (void)fputs(value, out);
    return;
  }
  (void)fputc('\'', out);
  for (const char *c = value; *c != '\0'; c++) {
    if (*c == '\'')
      (void)fputs("'\\''", out);
    else
      (void)fputc(*c, out);
  }
  (void)fputc('\'', out);
}

}  // namespace

void set_status(status_report *report, status_key key, const char *value)
{
  free(report->values[key]);
  report->values[key] = strdup(value);
}

void set_status_number(status_report *report, status_key key, unsigned long long number)
{
  char text[24];
  (void)snprintf(text, sizeof(text), "%llu", number);
  set_status(report, key, text);
}

int write_status_report(const status_report *report, int fd)
{
  FILE *out = fdopen(fd, "w");
  if (out == nullptr) {
    perror("main: write status report");
    close(fd);
    return -1;
  }
  for (int key = 0; key < STATUS_KEY_COUNT; key++) {
    if (report->values[key] == nullptr)
      continue;
    (void)fprintf(out, "%s=", KEY_NAMES[key]);
    write_value(out, report->values[key]);
    (void)fputc('\n', out);
  }
  const bool failed = fflush(out) != 0 || ferror(out) != 0;
  if (fclose(out) != 0 || failed) {
    perror("main: write status report");
    return -1;
  }
  return 0;
}

void release_status_report(status_report *report)
{
  for (char *&value : report->values) {
    free(value);
    value = nullptr;
  }
}
