// SPDX-License-Identifier: MIT
#include "cli/process_state.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace {

void set_disposition(int signal_number, void (*action)(int))
{
  struct sigaction disposition;
  memset(&disposition, 0, sizeof(disposition));
  disposition.sa_handler = action;
  sigemptyset(&disposition.sa_mask);
  (void)sigaction(signal_number, &disposition, nullptr);
}

}  // namespace

void begin_run()
{
  // With 0, 1 or 2 closed, the next open would take that number, and a
  // device opened later (the key blob device, the keyring) would become a
  // child's standard stream. An open takes the lowest free number, so
  // /dev/null fills the gaps in order; without it the run goes on as it is.
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    if (open("/dev/null", O_RDWR) < 0)
      break;
  }
  // Inherited as ignored, SIGCHLD lets the kernel reap the children itself,
  // and every pclose fails although the child succeeded.
  set_disposition(SIGCHLD, SIG_DFL);
  // A blocked signal is inherited by every child: a cryptsetup under a shell
  // that keeps the mask (BusyBox ash) could then not be interrupted or
  // stopped. Ignored signals stay ignored, as the caller asked (nohup).
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
}

void ignore_broken_pipe()
{
  // A reader of standard output that went away must cost the output, not
  // the error lines on standard error and the exit status.
  set_disposition(SIGPIPE, SIG_IGN);
}

void flush_standard_output()
{
  if (fflush(stdout) != 0 || ferror(stdout) != 0)
    perror("main: write standard output");
}
