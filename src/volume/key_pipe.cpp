// SPDX-License-Identifier: MIT
#include "volume/key_pipe.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "util/io.h"
#include "volume/command_line.h"

int open_key_pipe(key_pipe *pipe, const uint8_t *key)
{
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0)
    return -1;
  pipe->child_end = ends[0];
  const bool handed_on = complete_write(ends[1], key, PIPED_KEY_LEN) == 0;
  close(ends[1]);
  // Only the reading end goes on to the child, at its exec.
  if (!handed_on || fcntl(ends[0], F_SETFD, 0) != 0 ||
      snprintf(pipe->path, sizeof(pipe->path), "/proc/self/fd/%d", ends[0]) >= static_cast<int>(sizeof(pipe->path))) {
    close_key_pipe(pipe);
    return -1;
  }
  return 0;
}

namespace {

// Reads the child's output whole, so that it never waits on a full pipe.
void read_output(FILE *child, char *output, size_t output_size)
{
  size_t used = 0;
  char drop[256];
  for (;;) {
    const bool room = output != nullptr && used + 1 < output_size;
    const size_t got = room ? fread(output + used, 1, output_size - 1 - used, child) : fread(drop, 1, sizeof(drop), child);
    if (got == 0)
      break;
    if (room)
      used += got;
  }
  if (output != nullptr && output_size > 0)
    output[used] = '\0';
}

}  // namespace

int run_with_key_pipe(key_pipe *pipe, const char *command, const uint8_t *stdin_key, char *output,
                      size_t output_size)
{
  if (output != nullptr && output_size > 0)
    output[0] = '\0';
  FILE *child = popen(command, stdin_key != nullptr ? "w" : "r");
  // The child has its own copy now, or there is no child.
  if (pipe->child_end >= 0)
    close(pipe->child_end);
  pipe->child_end = -1;
  if (child == nullptr)
    return -1;
  bool fed = true;
  if (stdin_key != nullptr)
    fed = write_key_to_child(child, stdin_key, PIPED_KEY_LEN) == 0;
  else
    read_output(child, output, output_size);
  const int status = exit_status_of(pclose(child), nullptr);
  return fed ? status : -1;
}

void close_key_pipe(key_pipe *pipe)
{
  if (pipe->child_end >= 0)
    close(pipe->child_end);
  pipe->child_end = -1;
  pipe->path[0] = '\0';
}
