// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// Derives the board-bound key modifier: MD5 of the MAC0 and MAC1 fuse words,
// each little-endian. Writes 16 bytes on success and nothing on failure.
[[nodiscard]] int compute_keymod(uint8_t *key_modifier, size_t key_modifier_len);

// The fuse word files, MAC0 and MAC1.
constexpr const char *FUSE_WORD_FILES[2] = {"/sys/fsl_otp/HW_OCOTP_MAC0", "/sys/fsl_otp/HW_OCOTP_MAC1"};

// The first fuse word file that compute_keymod could not read (it cannot be
// opened or holds no hexadecimal number), or null when it could read both.
// Prints nothing.
[[nodiscard]] const char *unreadable_fuse_file();
