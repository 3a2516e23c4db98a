// SPDX-License-Identifier: MIT
#pragma once

// Makes a new volume key (random, or the 44-character base64 text), wraps it
// into a key blob and stores the blob in the keyring. 0 or -1.
[[nodiscard]] int generate_key(const char *base64_key);
