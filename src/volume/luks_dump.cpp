// SPDX-License-Identifier: MIT
#include "volume/luks_dump.h"

#include <cstring>

#include "util/io.h"
#include "volume/command_line.h"

namespace {

enum dump_section { OTHER, KEYSLOTS, TOKENS };

void read_line(const char *line, dump_section *section, luks_header_dump *dump, int *current)
{
  int number = 0;
  char word[64] = "";
  if (sscanf(line, "Version: %d", &number) == 1) {
    dump->version = number;
  } else if (line[0] != ' ' && line[0] != '\t') {
    *section = strncmp(line, "Keyslots:", 9) == 0 ? KEYSLOTS : strncmp(line, "Tokens:", 7) == 0 ? TOKENS : OTHER;
    *current = -1;
    if (sscanf(line, "Key Slot %d: %63s", &number, word) == 2 && number >= 0 && number < LUKS_KEYSLOTS_MAX) {
      dump->keyslots[number].active = strcmp(word, "ENABLED") == 0;
      snprintf(dump->keyslots[number].kdf, sizeof(dump->keyslots[number].kdf), "pbkdf2");
    }
  } else if (line[0] == ' ' && sscanf(line, " %d: %63s", &number, word) == 2) {
    if (*section == KEYSLOTS && number >= 0 && number < LUKS_KEYSLOTS_MAX) {
      dump->keyslots[number].active = true;
      *current = number;
    } else if (*section == TOKENS && dump->token_count < LUKS_TOKENS_MAX) {
      luks_token &token = dump->tokens[dump->token_count];
      token.id = number;
      snprintf(token.type, sizeof(token.type), "%s", word);
      *current = dump->token_count++;
    }
  } else if (*current >= 0 && sscanf(line, "\tPBKDF: %15s", word) == 1 && *section == KEYSLOTS) {
    snprintf(dump->keyslots[*current].kdf, sizeof(dump->keyslots[*current].kdf), "%s", word);
  } else if (*current >= 0 && *section == TOKENS && sscanf(line, "\tKeyslot: %d", &number) == 1 && number >= 0 &&
             number < LUKS_KEYSLOTS_MAX) {
    dump->tokens[*current].keyslots |= uint32_t{1} << number;
  }
}

}  // namespace

int read_luks_dump(FILE *text, luks_header_dump *dump)
{
  *dump = luks_header_dump{};
  char line[256];
  bool at_line_start = true;
  dump_section section = OTHER;
  int current = -1;
  while (next_whole_line(text, line, sizeof(line), &at_line_start))
    read_line(line, &section, dump, &current);
  return dump->version == 1 || dump->version == 2 ? 0 : -1;
}

int cryptsetup_luksDump(const char *device, luks_header_dump *dump)
{
  *dump = luks_header_dump{};
  char command[COMMAND_LEN];
  if (!compose_command(command, nullptr, "cryptsetup luksDump", device, nullptr))
    return -1;
  FILE *child = popen(command, "r");
  if (child == nullptr)
    return -1;
  const int read = read_luks_dump(child, dump);
  const int status = exit_status_of(pclose(child), nullptr);
  if (read != 0 || status != 0) {
    *dump = luks_header_dump{};
    return -1;
  }
  return 0;
}
