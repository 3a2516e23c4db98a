// SPDX-License-Identifier: MIT
#include "volume/command_line.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>

#include "util/io.h"
#include "util/report.h"

namespace {

// Besides letters and digits: the mapped-name punctuation the boot scripts
// share, and '/' for device paths, which a name may hold as well.
constexpr char ARGUMENT_PUNCTUATION[] = "/" LOCKWARDEN_NAME_CHARS;

// The arguments go unquoted into a root shell's command line: only plain
// path and name characters pass, and nothing that could read as an option.
bool is_safe_argument(const char *argument)
{
  if (argument == nullptr || argument[0] == '\0' || argument[0] == '-')
    return false;
  for (const char *c = argument; *c != '\0'; c++) {
    if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9'))
      continue;
    if (strchr(ARGUMENT_PUNCTUATION, *c) == nullptr)
      return false;
  }
  return true;
}

}  // namespace

bool compose_command(char *command, const char *scope, const char *words, const char *device, const char *name)
{
  if (!is_safe_argument(device) || (name != nullptr && !is_safe_argument(name))) {
    if (scope != nullptr)
      report_error(scope, "unsafe argument");
    return false;
  }
  const int length = snprintf(command, COMMAND_LEN, "%s %s%s%s", words, device, name != nullptr ? " " : "",
                              name != nullptr ? name : "");
  if (strlen(device) <= DEVICE_MAX && (name == nullptr || strlen(name) <= MAPPED_NAME_MAX) && length >= 0 &&
      static_cast<size_t>(length) < COMMAND_LEN)
    return true;
  if (scope != nullptr)
    report_error(scope, "command too long");
  return false;
}

int exit_status_of(int wait_status, const char *scope)
{
  if (wait_status < 0) {
    if (scope != nullptr)
      report_error(scope, "pclose");
    return -1;
  }
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

int write_key_to_child(FILE *child, const uint8_t *key, size_t count)
{
  struct sigaction ignore;
  struct sigaction previous;
  memset(&ignore, 0, sizeof(ignore));
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &previous);
  const int written = complete_write(fileno(child), key, count);
  sigaction(SIGPIPE, &previous, nullptr);
  return written;
}
