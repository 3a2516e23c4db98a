// SPDX-License-Identifier: MIT
#include "volume/luks_tokens.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/base64.h"
#include "util/report.h"
#include "volume/command_line.h"

namespace {

constexpr char IMPORT_WORDS[] = "cryptsetup token import --json-file -";
constexpr char REMOVE_WORDS[] = "cryptsetup token remove --token-id %d";
constexpr size_t REMOVE_WORDS_LEN = sizeof(REMOVE_WORDS) + 8;
static_assert(sizeof(IMPORT_WORDS) + DEVICE_MAX < COMMAND_LEN && REMOVE_WORDS_LEN + DEVICE_MAX < COMMAND_LEN,
              "the token commands have room for the longest device path");

// The JSON on the child's standard input.
int import_token(const char *device, const char *json)
{
  char command[COMMAND_LEN];
  if (!compose_command(command, SCOPE_TOKEN, IMPORT_WORDS, device, nullptr))
    return -1;
  FILE *child = popen(command, "w");
  if (child == nullptr)
    return report_error(SCOPE_TOKEN, "popen");
  const int written = write_key_to_child(child, reinterpret_cast<const uint8_t *>(json), strlen(json));
  const int status = exit_status_of(pclose(child), SCOPE_TOKEN);
  if (written != 0)
    return report_error(SCOPE_TOKEN, "write token");
  return status == 0 ? 0 : -1;
}

bool is_keyslot(int keyslot) { return keyslot >= 0 && keyslot < LUKS_KEYSLOTS_MAX; }

uint32_t active_keyslots(const luks_header_dump *dump)
{
  uint32_t active = 0;
  for (int i = 0; i < LUKS_KEYSLOTS_MAX; i++)
    if (dump->keyslots[i].active)
      active |= uint32_t{1} << i;
  return active;
}

uint32_t token_keyslots(const luks_header_dump *dump, const char *type)
{
  uint32_t named = 0;
  for (int i = 0; i < dump->token_count; i++)
    if (type == nullptr || strcmp(dump->tokens[i].type, type) == 0)
      named |= dump->tokens[i].keyslots;
  return named;
}

}  // namespace

int cryptsetup_import_board_token(const char *device, int keyslot)
{
  char json[64];
  if (!is_keyslot(keyslot))
    return -1;
  (void)snprintf(json, sizeof(json), "{\"type\":\"%s\",\"keyslots\":[\"%d\"]}", BOARD_TOKEN_TYPE, keyslot);
  return import_token(device, json);
}

int cryptsetup_import_recovery_token(const char *device, int keyslot, const uint8_t *sealed, size_t sealed_len,
                                     const char *cert_sha256_hex)
{
  static const char FORMAT[] = "{\"type\":\"%s\",\"keyslots\":[\"%d\"],\"sealed\":\"%s\",\"cert_sha256\":\"%s\"}";
  if (!is_keyslot(keyslot) || sealed_len == 0 || sealed_len > 65536)
    return -1;
  const size_t text_len = base64_encoded_length(sealed_len) + 1;
  const size_t json_len = sizeof(FORMAT) + sizeof(RECOVERY_TOKEN_TYPE) + 8 + text_len + strlen(cert_sha256_hex);
  char *text = static_cast<char *>(malloc(text_len));
  char *json = static_cast<char *>(malloc(json_len));
  int result = -1;
  if (text == nullptr || json == nullptr) {
    report_error(SCOPE_TOKEN, "malloc token");
  } else {
    base64_encode(sealed, sealed_len, text);
    (void)snprintf(json, json_len, FORMAT, RECOVERY_TOKEN_TYPE, keyslot, text, cert_sha256_hex);
    result = import_token(device, json);
  }
  free(json);
  free(text);
  return result;
}

int cryptsetup_remove_token(const char *device, int token_id)
{
  char words[REMOVE_WORDS_LEN];
  (void)snprintf(words, sizeof(words), REMOVE_WORDS, token_id);
  char command[COMMAND_LEN];
  if (token_id < 0 || !compose_command(command, SCOPE_TOKEN, words, device, nullptr))
    return -1;
  FILE *child = popen(command, "r");
  if (child == nullptr)
    return report_error(SCOPE_TOKEN, "popen");
  return exit_status_of(pclose(child), SCOPE_TOKEN) == 0 ? 0 : -1;
}

int recovery_keyslot(const luks_header_dump *dump)
{
  const uint32_t named = token_keyslots(dump, RECOVERY_TOKEN_TYPE) & active_keyslots(dump);
  for (int i = 0; i < LUKS_KEYSLOTS_MAX; i++)
    if ((named & (uint32_t{1} << i)) != 0)
      return i;
  return -1;
}

uint32_t board_keyslots(const luks_header_dump *dump)
{
  return token_keyslots(dump, BOARD_TOKEN_TYPE) & active_keyslots(dump);
}

uint32_t stray_keyslots(const luks_header_dump *dump) { return active_keyslots(dump) & ~token_keyslots(dump, nullptr); }

int free_keyslot(const luks_header_dump *dump)
{
  const uint32_t taken = active_keyslots(dump) | token_keyslots(dump, nullptr);
  for (int i = 0; i < LUKS_KEYSLOTS_MAX; i++)
    if ((taken & (uint32_t{1} << i)) == 0)
      return i;
  return -1;
}
