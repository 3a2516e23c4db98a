// SPDX-License-Identifier: MIT
#include "volume/luks_dump.h"

#include <cstdlib>
#include <cstring>

#include "util/io.h"
#include "volume/command_line.h"

namespace {

constexpr char LUKSDUMP_WORDS[] = "cryptsetup luksDump";
static_assert(sizeof(LUKSDUMP_WORDS) + DEVICE_MAX < COMMAND_LEN, "the command has room for the longest device path");

enum dump_section { SECTION_OTHER, SECTION_KEYSLOTS, SECTION_TOKENS };

struct dump_reader {
  luks_header_dump *dump;
  dump_section section;
  int keyslot;   // the LUKS2 keyslot whose lines follow, or -1
  luks_token *token;  // the token whose lines follow, or null
};

// "  N: WORD...": an entry of a LUKS2 section, N below `limit`, with `word`
// (of `size` bytes) its first word after the colon, cut to fit or empty.
bool section_entry(const char *line, int limit, int *number, char *word, size_t size)
{
  if (strncmp(line, "  ", 2) != 0 || line[2] < '0' || line[2] > '9')
    return false;
  char *end = nullptr;
  const long n = strtol(line + 2, &end, 10);
  if (end[0] != ':' || end[1] != ' ' || n >= limit)
    return false;
  *number = static_cast<int>(n);
  const size_t length = strcspn(end + 2, " \n");
  word[0] = '\0';
  if (length < size) {
    memcpy(word, end + 2, length);
    word[length] = '\0';
  }
  return true;
}

// "\tNAME:   VALUE": the value of a field of the current entry, or null.
const char *field(const char *line, const char *name)
{
  const size_t length = strlen(name);
  if (line[0] != '\t' || strncmp(line + 1, name, length) != 0 || line[1 + length] != ':')
    return nullptr;
  return line + 2 + length + strspn(line + 2 + length, " \t");
}

void copy_word(char *to, size_t size, const char *from)
{
  const size_t length = strcspn(from, " \t\n");
  to[0] = '\0';
  if (length < size) {
    memcpy(to, from, length);
    to[length] = '\0';
  }
}

void read_luks1_line(luks_header_dump *dump, const char *line)
{
  int slot = -1;
  char state[16] = "";
  if (sscanf(line, "Key Slot %d: %15s", &slot, state) != 2 || slot < 0 || slot >= LUKS_KEYSLOTS_MAX)
    return;
  dump->keyslots[slot].active = strcmp(state, "ENABLED") == 0;
  copy_word(dump->keyslots[slot].kdf, sizeof(dump->keyslots[slot].kdf), dump->keyslots[slot].active ? "pbkdf2" : "");
}

void read_entry_line(dump_reader *reader, const char *line)
{
  luks_header_dump *dump = reader->dump;
  int number = 0;
  char word[sizeof(luks_token::type)];
  static_assert(LUKS_TOKENS_MAX == LUKS_KEYSLOTS_MAX, "one limit for the entries of both sections");
  if (section_entry(line, LUKS_KEYSLOTS_MAX, &number, word, sizeof(word))) {
    if (reader->section == SECTION_KEYSLOTS) {
      reader->keyslot = number;
      dump->keyslots[number].active = true;
    } else if (reader->section == SECTION_TOKENS && dump->token_count < LUKS_TOKENS_MAX) {
      reader->token = &dump->tokens[dump->token_count++];
      reader->token->id = number;
      memcpy(reader->token->type, word, sizeof(word));
    }
    return;
  }
  const char *value = nullptr;
  if (reader->section == SECTION_KEYSLOTS && reader->keyslot >= 0 && (value = field(line, "PBKDF")) != nullptr) {
    luks_keyslot &slot = dump->keyslots[reader->keyslot];
    copy_word(slot.kdf, sizeof(slot.kdf), value);
  } else if (reader->section == SECTION_TOKENS && reader->token != nullptr &&
             (value = field(line, "Keyslot")) != nullptr) {
    const int slot = atoi(value);
    if (slot >= 0 && slot < LUKS_KEYSLOTS_MAX)
      reader->token->keyslots |= 1u << slot;
  }
}

void read_line(dump_reader *reader, const char *line)
{
  luks_header_dump *dump = reader->dump;
  int version = 0;
  if (dump->version == 0 && sscanf(line, "Version: %d", &version) == 1 && (version == 1 || version == 2)) {
    dump->version = version;
  } else if (dump->version == 1) {
    read_luks1_line(dump, line);
  } else if (dump->version == 2 && line[0] != ' ' && line[0] != '\t') {
    // A line in the first column starts a section.
    reader->section = strcmp(line, "Keyslots:\n") == 0 ? SECTION_KEYSLOTS
                      : strcmp(line, "Tokens:\n") == 0 ? SECTION_TOKENS
                                                       : SECTION_OTHER;
    reader->keyslot = -1;
    reader->token = nullptr;
  } else if (dump->version == 2) {
    read_entry_line(reader, line);
  }
}

}  // namespace

int read_luks_dump(FILE *text, luks_header_dump *dump)
{
  *dump = luks_header_dump{};
  dump_reader reader = {dump, SECTION_OTHER, -1, nullptr};
  char line[256];
  bool at_line_start = true;
  while (next_whole_line(text, line, sizeof(line), &at_line_start))
    read_line(&reader, line);
  return dump->version != 0 ? 0 : -1;
}

int cryptsetup_luksDump(const char *device, luks_header_dump *dump)
{
  *dump = luks_header_dump{};
  char command[COMMAND_LEN];
  if (!compose_command(command, nullptr, LUKSDUMP_WORDS, device, nullptr))
    return -1;
  FILE *child = popen(command, "r");
  if (child == nullptr)
    return -1;
  const int read = read_luks_dump(child, dump);
  if (exit_status_of(pclose(child), nullptr) == 0 && read == 0)
    return 0;
  *dump = luks_header_dump{};
  return -1;
}
