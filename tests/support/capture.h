// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

// Runs `call` with the descriptor `fd` (1 or 2) sent to a file, and returns
// what was written there, stdio buffers included.
template <typename Call>
std::string captured_output(int fd, Call call)
{
  fflush(stdout);
  fflush(stderr);
  char path[] = "/tmp/lockwarden-capture-XXXXXX";
  int file = mkstemp(path);
  int saved = dup(fd);
  dup2(file, fd);
  call();
  fflush(stdout);
  fflush(stderr);
  dup2(saved, fd);
  close(saved);
  std::string text;
  char buffer[512];
  ssize_t n;
  lseek(file, 0, SEEK_SET);
  while ((n = read(file, buffer, sizeof(buffer))) > 0)
    text.append(buffer, static_cast<size_t>(n));
  close(file);
  unlink(path);
  return text;
}
