// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "support/board.h"

struct program_result {
  int status;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

struct program_run {
  std::vector<std::string> args;       // without the program name
  std::string sandbox;                 // board simulator root; empty: none
  std::string path_prefix;             // prepended to PATH (fake cryptsetup)
  std::vector<std::string> extra_env;  // NAME=VALUE
  std::string runner;                  // words put in front of the program (prlimit ...)
};

// What the caller leaves the program with besides its environment.
struct inherited_state {
  std::vector<int> closed_fds;  // standard descriptors the program starts without
  bool stdout_reader_gone;      // standard output: a pipe whose reader has closed it
  std::string stdin_path = "";  // standard input; empty: /dev/null
};

// A started program whose streams go to files, so that it never waits on
// the test to read them.
struct started_program {
  pid_t pid;
  std::string out_path;
  std::string err_path;
};

// Starts the built lockwarden-tool and returns at once; wait_for collects it.
// Tests that act on a running program use these from their one thread:
// qemu-user, which runs the tests for ARM, is unreliable at starting
// processes from a second thread.
started_program start_tool(const program_run &run, const inherited_state &state = inherited_state{});
program_result wait_for(const started_program &started);

// Runs the built lockwarden-tool (under the cross runner when there is one)
// with the board simulator preloaded when a sandbox is given.
program_result run_tool(const program_run &run, const inherited_state &state = inherited_state{});

// Runs any command through /bin/sh -c, capturing output.
program_result run_shell(const std::string &command);

// Runs the program on the board, the board simulator preloaded, with the
// recording fake cryptsetup on PATH, or with the real one wrapped for tests
// (tests/peer/cryptsetup).
program_result run_on_board(const board &b, const std::vector<std::string> &args);
started_program start_on_board(const board &b, const std::vector<std::string> &args);
// The run that run_on_board makes, for a test to change before run_tool.
program_run board_run(const board &b, const std::vector<std::string> &args);
program_result run_with_real_cryptsetup(const board &b, const std::vector<std::string> &args);

// Whether this test process runs under valgrind.
bool under_valgrind();
