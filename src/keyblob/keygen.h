// SPDX-License-Identifier: MIT
#pragma once

// Makes a new volume key (random, or the 44-character base64 text), wraps it
// into a key blob and stores the blob in the keyring, which stays locked to
// the end of the run. With a `volume` device that holds a LUKS header, the
// key must open it first. 0 or -1.
[[nodiscard]] int generate_key(const char *base64_key, const char *volume);
