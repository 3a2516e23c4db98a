// SPDX-License-Identifier: MIT
#include "volume/keyslot_test.h"

#include <cstdio>
#include <cstring>

#include "volume/command_line.h"
#include "volume/key_pipe.h"

static_assert(PIPED_KEY_LEN == VOLUME_KEY_LEN, "the piped key is the volume key");

namespace {

// Room for the words, the keyslot and the pipe's path.
constexpr size_t WORDS_LEN = 256;
static_assert(WORDS_LEN + DEVICE_MAX < COMMAND_LEN, "the command has room for the longest device path");

// The keyslot of the "Key slot N unlocked." line of cryptsetup's report, or -1.
int unlocked_keyslot(const char *report)
{
  static const char PREFIX[] = "Key slot ";
  for (const char *line = report; *line != '\0';) {
    int slot = -1;
    int end = 0;
    if (strncmp(line, PREFIX, sizeof(PREFIX) - 1) == 0 &&
        sscanf(line + sizeof(PREFIX) - 1, "%d unlocked.%n", &slot, &end) == 1 && end > 0 && slot >= 0)
      return slot;
    const char *next = strchr(line, '\n');
    line = next != nullptr ? next + 1 : line + strlen(line);
  }
  return -1;
}

}  // namespace

key_test cryptsetup_test_keyslot(const char *device, const uint8_t *key, int keyslot, int *opened)
{
  *opened = -1;
  key_pipe pipe;
  if (open_key_pipe(&pipe, key) != 0)
    return KEY_UNTESTED;
  char words[WORDS_LEN];
  char slot_option[32] = "";
  if (keyslot >= 0)
    (void)snprintf(slot_option, sizeof(slot_option), " --key-slot %d", keyslot);
  char command[COMMAND_LEN];
  char report[512] = "";
  int status = -1;
  if (snprintf(words, sizeof(words),
               "LC_ALL=C cryptsetup -v --test-passphrase --token-type lockwarden-no-token%s --keyfile-size %zu -d %s "
               "open --type luks",
               slot_option, PIPED_KEY_LEN, pipe.path) < static_cast<int>(sizeof(words)) &&
      compose_command(command, nullptr, words, device, nullptr))
    status = run_with_key_pipe(&pipe, command, nullptr, report, sizeof(report));
  close_key_pipe(&pipe);
  const key_test result = key_test_of_exit(status);
  if (result == KEY_OPENS)
    *opened = unlocked_keyslot(report);
  return result;
}
