// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// A key for a cryptsetup child on a pipe of its own, for a call that needs
// its standard input for another key (luksAddKey: the existing key on
// standard input, the new one here) or its standard output for a report.
// The child inherits the pipe's reading end and its command line names it
// /proc/self/fd/N (`path`: the BusyBox initramfs has no /dev/fd), read with a
// key file size so that cryptsetup never waits for an end of input. The key
// is in the pipe before the child starts, and the program's writing end is
// closed at once.
struct key_pipe {
  int child_end = -1;  // the reading end, inherited across exec
  char path[32] = "";  // "/proc/self/fd/N"
};

constexpr size_t PIPED_KEY_LEN = 32;

// Makes the pipe and puts the key into it: 0, or -1 with the pipe closed.
[[nodiscard]] int open_key_pipe(key_pipe *pipe, const uint8_t *key);

// Runs `command` through the shell with the pipe's reading end inherited,
// then closes that end in the program. With `stdin_key`, that key goes to the
// child's standard input; otherwise its standard output is read into
// `output` (when not null, NUL-terminated). The child's exit status (0 to
// 255), or -1: it did not start, its key was not written whole, or a signal
// ended it.
[[nodiscard]] int run_with_key_pipe(key_pipe *pipe, const char *command, const uint8_t *stdin_key, char *output,
                                    size_t output_size);

// Closes what is still open of the pipe.
void close_key_pipe(key_pipe *pipe);
