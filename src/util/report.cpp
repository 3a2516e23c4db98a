// SPDX-License-Identifier: MIT
#include "util/report.h"

#include <cstdarg>
#include <cstdio>

// NOLINTNEXTLINE(cert-dcl50-cpp): printf's own form, so that the format attribute checks every call
int report_error(const char *scope, const char *format, ...)
{
  va_list arguments;
  va_start(arguments, format);
  (void)printf("[ERROR] %s: ", scope);
  (void)vprintf(format, arguments);
  (void)putchar('\n');
  va_end(arguments);
  return -1;
}
