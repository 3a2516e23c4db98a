// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// Derives the board-bound key modifier: MD5 of the MAC0 and MAC1 fuse words,
// each little-endian. Writes 16 bytes on success and nothing on failure.
[[nodiscard]] int compute_keymod(uint8_t *key_modifier, size_t key_modifier_len);
