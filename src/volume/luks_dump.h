// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <cstdio>

// What "cryptsetup luksDump DEVICE" says of a LUKS header: its version, the
// active keyslots with their key derivation, and the LUKS2 tokens with their
// id, type and keyslots, read from the text dump.

constexpr int LUKS_KEYSLOTS_MAX = 32;  // LUKS2; LUKS1 has 8
constexpr int LUKS_TOKENS_MAX = 32;

struct luks_keyslot {
  bool active = false;
  char kdf[16] = "";
};

struct luks_token {
  int id = -1;
  char type[64] = "";
  uint32_t keyslots = 0;  // bit N: bound to keyslot N
};

struct luks_header_dump {
  int version = 0;  // 1 or 2; 0 when no dump was read
  luks_keyslot keyslots[LUKS_KEYSLOTS_MAX];
  int token_count = 0;
  luks_token tokens[LUKS_TOKENS_MAX];
};

// Reads a dump from `text`: 0 when it named a LUKS version, else -1.
[[nodiscard]] int read_luks_dump(FILE *text, luks_header_dump *dump);

// Runs "cryptsetup luksDump DEVICE" and reads what it prints: 0 when it
// exited with 0 and the dump named a LUKS version, else -1.
[[nodiscard]] int cryptsetup_luksDump(const char *device, luks_header_dump *dump);
