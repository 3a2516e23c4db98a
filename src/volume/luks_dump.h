// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <cstdio>

// What "cryptsetup luksDump DEVICE" says of a LUKS header: its version, the
// active keyslots with their key derivation, and the LUKS2 tokens with their
// id, type and keyslots. Read from the text dump, whose lines are the same
// in cryptsetup 2.4.x and 2.6.x:
//
//   LUKS2                                   LUKS1
//   LUKS header information                 LUKS header information for DEV
//   Version:       \t2                      Version:       \t1
//   Keyslots:                               Key Slot 0: ENABLED
//     0: luks2          (" (unbound)")      \tIterations:  ...
//   \tPBKDF:      argon2id                  Key Slot 1: DISABLED
//   Tokens:
//     0: luks2-keyring
//   \tKeyslot:    1     (one line a keyslot)
//   Digests:
//
// LUKS1 keyslots all derive with PBKDF2 and it has no tokens. Lines the
// reader does not know (other fields, a token type's own lines) are passed
// over, and so is any line longer than the reader's buffer.

constexpr int LUKS_KEYSLOTS_MAX = 32;  // LUKS2; LUKS1 has 8
constexpr int LUKS_TOKENS_MAX = 32;

struct luks_keyslot {
  bool active = false;
  char kdf[16] = "";  // "pbkdf2", "argon2i", "argon2id"; empty when the dump names none (or one that does not fit)
};

struct luks_token {
  int id = -1;
  char type[64] = "";   // as the dump names it; empty for a longer one
  uint32_t keyslots = 0;  // bit N: bound to keyslot N
};

struct luks_header_dump {
  int version = 0;  // 1 or 2; 0 when no dump was read
  luks_keyslot keyslots[LUKS_KEYSLOTS_MAX];
  int token_count = 0;
  luks_token tokens[LUKS_TOKENS_MAX];  // the first token_count, in the dump's order (by id)
};

// Reads a dump from `text`: 0 when it named a LUKS version, else -1.
[[nodiscard]] int read_luks_dump(FILE *text, luks_header_dump *dump);

// Runs "cryptsetup luksDump DEVICE" (its standard error the program's) and
// reads what it prints: 0 when it exited with 0 and the dump named a LUKS
// version, else -1 with `dump` as empty as it started. Prints no line of its own.
[[nodiscard]] int cryptsetup_luksDump(const char *device, luks_header_dump *dump);
