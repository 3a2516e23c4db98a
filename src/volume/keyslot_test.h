// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "volume/cryptsetup.h"

// The token-proof key test that also says which keyslot the key opens.
// `keyslot` >= 0 tries that keyslot alone (--key-slot N), -1 any of them.
// KEY_OPENS, with `*opened` the keyslot cryptsetup names (-1 when it names
// none); KEY_REFUSED when cryptsetup exits with 2; KEY_UNTESTED otherwise.
[[nodiscard]] key_test cryptsetup_test_keyslot(const char *device, const uint8_t *key, int keyslot, int *opened);
