// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

// Zeroes `length` bytes of a buffer that held a secret. The stores survive
// optimisation even when the buffer is freed or dies right afterwards.
void secure_wipe(void *buffer, size_t length);

// Wipes a heap buffer that held a secret, then frees it; a null buffer is
// left alone, so that every exit path can release what it has.
void release_secret(void *buffer, size_t length);
