// SPDX-License-Identifier: MIT
#include "util/secure_wipe.h"

#include <cstdlib>

void secure_wipe(void *buffer, size_t length)
{
  // Volatile stores may not be elided, and the barrier tells the compiler
  // that the zeroed memory is observed, so neither a following free() nor
  // the end of the buffer's lifetime lets the optimiser drop the stores.
  volatile unsigned char *bytes = static_cast<volatile unsigned char *>(buffer);
  for (size_t i = 0; i < length; i++)
    bytes[i] = 0;
  __asm__ __volatile__("" : : "r"(buffer) : "memory");
}

void release_secret(void *buffer, size_t length)
{
  if (buffer == nullptr)
    return;
  secure_wipe(buffer, length);
  free(buffer);
}
