// SPDX-License-Identifier: MIT
#include "volume/keyslot_test.h"

#include <cstdio>
#include <cstring>

#include "volume/command_line.h"
#include "volume/key_pipe.h"

key_test cryptsetup_test_keyslot(const char *device, const uint8_t *key, int keyslot, int *opened)
{
  *opened = -1;
  key_pipe pipe;
  if (open_key_pipe(&pipe, key) != 0)
    return KEY_UNTESTED;
  char words[160];
  char slot[24] = "";
  if (keyslot >= 0)
    snprintf(slot, sizeof(slot), " --key-slot %d", keyslot);
  snprintf(words, sizeof(words),
           "LC_ALL=C cryptsetup -v --test-passphrase --token-type lockwarden-no-token -d %s --keyfile-size 32%s "
           "open --type luks",
           pipe.path, slot);
  char command[COMMAND_LEN];
  char output[512];
  int status = -1;
  if (compose_command(command, nullptr, words, device, nullptr))
    status = run_with_key_pipe(&pipe, command, nullptr, output, sizeof(output));
  close_key_pipe(&pipe);
  if (status == 0) {
    const char *line = strstr(output, "Key slot ");
    if (line == nullptr || sscanf(line, "Key slot %d unlocked.", opened) != 1)
      *opened = -1;
    return KEY_OPENS;
  }
  return status == 2 ? KEY_REFUSED : KEY_UNTESTED;
}
