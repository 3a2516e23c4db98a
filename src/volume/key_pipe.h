// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// A key for a cryptsetup child on a pipe of its own, for a call that needs
// its standard input or output for something else: two secrets in one call
// (luksAddKey: the existing key on standard input, the new one here), or a
// key in and the child's report out.
//
// The child inherits the pipe's reading end and its command line names it
// /proc/self/fd/N (`path`: the BusyBox initramfs has no /dev/fd), read with
// --keyfile-size 32 (or --new-keyfile-size 32) so that cryptsetup never waits
// for an end of input. The key is in the pipe before the child starts (32
// bytes never fill a pipe, so the write does not wait for a reader), and the
// program's writing end is closed at once: the child never holds it, and no
// other child can hold it either, as it is opened close-on-exec.
//
//   key_pipe pipe;
//   if (open_key_pipe(&pipe, key) == 0) {
//     ... compose a command naming pipe.path ...
//     status = run_with_key_pipe(&pipe, command, nullptr, output, sizeof(output));
//   }
//   close_key_pipe(&pipe);
struct key_pipe {
  int child_end = -1;  // the reading end, inherited across exec
  char path[32] = "";  // "/proc/self/fd/N"
};

// The bytes of every key handed on.
constexpr size_t PIPED_KEY_LEN = 32;

// Makes the pipe and puts the key (PIPED_KEY_LEN bytes) into it: 0, or -1
// with the pipe closed.
[[nodiscard]] int open_key_pipe(key_pipe *pipe, const uint8_t *key);

// Runs `command` through the shell (as popen does) with the pipe's reading
// end inherited, then closes that end in the program. With `stdin_key`, that
// key (PIPED_KEY_LEN bytes) goes to the child's standard input; otherwise the
// child's standard output is read into `output` (when not null), at most
// `output_size` - 1 bytes and a NUL, the rest read and dropped. Its standard
// error is the program's. The child's exit status (0 to 255), or -1: it did
// not start, its key on standard input was not written whole, or a signal
// ended it.
[[nodiscard]] int run_with_key_pipe(key_pipe *pipe, const char *command, const uint8_t *stdin_key, char *output,
                                    size_t output_size);

// Closes what is still open of the pipe; the record is empty again.
void close_key_pipe(key_pipe *pipe);
