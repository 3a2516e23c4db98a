// SPDX-License-Identifier: MIT
// Runs a command N times and prints its mean wall time and the peak resident
// memory of the largest process it started (the command or one of its
// children), for the footprint comparison in footprint.sh.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

int main(int argc, char **argv)
{
  if (argc < 3) {
    fprintf(stderr, "usage: run_stats RUNS [NAME=VALUE...] COMMAND [ARG...]\n");
    return 2;
  }
  const int runs = atoi(argv[1]);
  // Set here, not around run_stats: a preloaded library belongs to the command.
  int first = 2;
  while (first < argc && strchr(argv[first], '=') != nullptr)
    putenv(argv[first++]);
  // The command's own output is not part of the figures.
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  double total_ms = 0;
  for (int i = 0; i < runs; i++) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[first], &quiet, nullptr, argv + first, environ) != 0) {
      perror("posix_spawnp");
      return 2;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    total_ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fprintf(stderr, "run_stats: the command failed (status %d)\n", status);
      return 1;
    }
  }
  rusage usage;
  getrusage(RUSAGE_CHILDREN, &usage);
  printf("%.2f ms mean wall time over %d runs, peak RSS %ld KiB\n", total_ms / runs, runs, usage.ru_maxrss);
  return 0;
}
