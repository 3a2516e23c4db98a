// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdio>
#include <sys/types.h>

// Reads until `count` bytes are in or the input ends: the number read, or
// -1 on an error, reported on stderr in perror form with `report_label`
// (null: quietly). EINTR is retried.
[[nodiscard]] ssize_t read_until_full(int fd, void *buffer, size_t count, const char *report_label);

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

// The next line of `stream` that fits whole into `line` (`size` bytes, its
// newline kept where it has one): false at the end. The pieces of a longer
// line are passed over, so that none of them reads as a line of its own.
// `at_line_start` starts true for a fresh stream.
[[nodiscard]] bool next_whole_line(FILE *stream, char *line, int size, bool *at_line_start);
