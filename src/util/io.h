// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

// Exact-length transfers: 0 when all `count` bytes moved, -1 otherwise.
// EINTR is retried; any other error is reported on stderr in perror form.
[[nodiscard]] int complete_read(int fd, void *buffer, size_t count);
[[nodiscard]] int complete_write(int fd, const void *buffer, size_t count);

// Fills `buffer` from the kernel's random device once its pool is seeded;
// refuses anything that is not that device (a regular file answers
// RNDGETENTCNT with an error).
[[nodiscard]] int get_random(void *buffer, size_t count);

// Takes the flock `operation` (LOCK_SH or LOCK_EX) on `fd` by non-blocking
// attempts for at most `limit_ms` milliseconds: 0 when held, -1 when the
// time ran out or the lock was refused for another reason. Prints nothing.
[[nodiscard]] int wait_for_lock(int fd, int operation, long limit_ms);
