// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

#include "volume/luks_dump.h"

// The volume's own LUKS2 tokens, which stock "cryptsetup open" ignores (no
// plugin handles their types) and "cryptsetup token export --token-id N"
// shows:
//   {"type":"lockwarden-recovery","keyslots":["R"],"sealed":"<base64>","cert_sha256":"<64 hex>"}
//     the recovery keyslot R and its key sealed to the vendor (the CMS DER in
//     base64) with the SHA-256 of the vendor's certificate; written once,
//     never changed;
//   {"type":"lockwarden-board","keyslots":["B"]}
//     the keyslot B of the key stored in the board's key blob.
// Written with "cryptsetup token import --json-file - DEVICE" (the JSON on
// standard input; it needs no key), removed with "cryptsetup token remove
// --token-id N DEVICE". Each returns 0, or -1 (after a line of the command's
// own where it did not run; cryptsetup speaks for itself).
constexpr char RECOVERY_TOKEN_TYPE[] = "lockwarden-recovery";
constexpr char BOARD_TOKEN_TYPE[] = "lockwarden-board";

[[nodiscard]] int cryptsetup_import_board_token(const char *device, int keyslot);
[[nodiscard]] int cryptsetup_import_recovery_token(const char *device, int keyslot, const uint8_t *sealed,
                                                   size_t sealed_len, const char *cert_sha256_hex);
[[nodiscard]] int cryptsetup_remove_token(const char *device, int token_id);

// What the tokens of a dump say. A keyslot counts only while it is active.
// The recovery keyslot, named by a recovery token, or -1.
[[nodiscard]] int recovery_keyslot(const luks_header_dump *dump);
// The keyslots the board tokens name (bit N: keyslot N).
[[nodiscard]] uint32_t board_keyslots(const luks_header_dump *dump);
// Active keyslots that no token names.
[[nodiscard]] uint32_t stray_keyslots(const luks_header_dump *dump);
// The lowest keyslot that is neither active nor named by a token, or -1.
[[nodiscard]] int free_keyslot(const luks_header_dump *dump);
