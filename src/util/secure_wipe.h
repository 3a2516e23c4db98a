#pragma once

#include <cstddef>

// Zeroes `length` bytes of a buffer that held a secret. The stores survive
// optimisation even when the buffer is freed or dies right afterwards.
void secure_wipe(void *buffer, size_t length);
