// SPDX-License-Identifier: MIT
#include "cli/lifecycle.h"

#include <cerrno>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

#include "keyblob/key_blob_device.h"
#include "keyblob/keygen.h"
#include "util/report.h"
#include "util/secure_wipe.h"

namespace {

// The key text, its newline and one byte more, which tells a longer text.
constexpr size_t TEXT_MAX = KEY_BASE64_LEN + 2;

// One line, a byte at a time so that nothing past its newline is taken from
// a caller's input: the number of bytes before the newline (a longer line
// gives TEXT_MAX), or -1 on a read error.
ssize_t read_line(char *text)
{
  size_t used = 0;
  for (;;) {
    char c;
    const ssize_t got = read(STDIN_FILENO, &c, 1);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return -1;
    if (got == 0 || c == '\n')
      break;
    if (used < TEXT_MAX)
      text[used++] = c;
  }
  secure_wipe(&text[used], TEXT_MAX + 1 - used);
  return static_cast<ssize_t>(used);
}

}  // namespace

int read_recovery_key(uint8_t *key)
{
  // An operator at the console types it: asked for where the output of a
  // script does not go, and not shown.
  termios saved;
  const bool terminal = isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    (void)fputs("Recovery key: ", stderr);
    (void)fflush(stderr);
    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  char text[TEXT_MAX + 1];
  const ssize_t length = read_line(text);
  if (terminal) {
    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    (void)fputs("\n", stderr);
  }
  int result = 0;
  if (length < 0)
    result = report_error(SCOPE_READ_RECOVERY_KEY, "cannot read standard input");
  else if (decode_key_text(text, key) != 0)
    result = report_error(SCOPE_READ_RECOVERY_KEY, "not a 44-character key text");
  secure_wipe(text, sizeof(text));
  return result;
}
