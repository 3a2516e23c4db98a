// SPDX-License-Identifier: MIT
#include "support/run_program.h"

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

std::string slurp_and_remove(const std::string &path)
{
  std::string text;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd >= 0) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0)
      text.append(buffer, static_cast<size_t>(n));
    close(fd);
  }
  unlink(path.c_str());
  return text;
}

started_program spawn(const std::vector<std::string> &argv_strings, const std::vector<std::string> &env_strings,
                      const inherited_state &state = inherited_state{})
{
  char out_path[] = "/tmp/lockwarden-out-XXXXXX";
  char err_path[] = "/tmp/lockwarden-err-XXXXXX";
  // Close-on-exec: the program gets them only as its standard streams.
  int out_fd = mkostemp(out_path, O_CLOEXEC);
  int err_fd = mkostemp(err_path, O_CLOEXEC);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, state.stdin_path.empty() ? "/dev/null" : state.stdin_path.c_str(),
                                   O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  int unread[2] = {-1, -1};
  if (state.stdout_reader_gone && pipe(unread) == 0) {
    close(unread[0]);
    posix_spawn_file_actions_adddup2(&actions, unread[1], 1);
  }
  for (int fd : state.closed_fds)
    posix_spawn_file_actions_addclose(&actions, fd);
  // Nothing else, as from a service manager: what the program's children
  // hold beyond their standard streams is then the program's doing.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // Whatever this test process inherited, the program starts with the
  // default actions of the signals the tests send or provoke.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal_number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    sigaddset(&defaults, signal_number);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  std::vector<char *> argv;
  for (const std::string &s : argv_strings)
    argv.push_back(const_cast<char *>(s.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (const std::string &s : env_strings)
    envp.push_back(const_cast<char *>(s.c_str()));
  envp.push_back(nullptr);

  started_program started{-1, out_path, err_path};
  if (posix_spawnp(&started.pid, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0)
    started.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (unread[1] >= 0)
    close(unread[1]);
  close(out_fd);
  close(err_fd);
  return started;
}

std::vector<std::string> split_words(const char *text)
{
  std::vector<std::string> words;
  std::string word;
  for (const char *c = text; *c != '\0'; c++) {
    if (*c == ' ') {
      if (!word.empty())
        words.push_back(word);
      word.clear();
    } else {
      word += *c;
    }
  }
  if (!word.empty())
    words.push_back(word);
  return words;
}

}  // namespace

program_result wait_for(const started_program &started)
{
  program_result result{-1, "", ""};
  if (started.pid > 0) {
    int status = 0;
    while (waitpid(started.pid, &status, 0) < 0) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  result.out = slurp_and_remove(started.out_path);
  result.err = slurp_and_remove(started.err_path);
  return result;
}

started_program start_tool(const program_run &run, const inherited_state &state)
{
  std::vector<std::string> argv = split_words(run.runner.c_str());
  std::vector<std::string> emulator;
#ifdef LOCKWARDEN_TEST_RUNNER
  emulator = split_words(LOCKWARDEN_TEST_RUNNER);
  const bool emulated = true;
#else
  const bool emulated = false;
  // A checker wrapped around the program (valgrind), for one test stage.
  if (const char *runner = getenv("LOCKWARDEN_TOOL_RUNNER"))
    emulator = split_words(runner);
#endif
  argv.insert(argv.end(), emulator.begin(), emulator.end());
  argv.push_back(LOCKWARDEN_TOOL_PATH);
  argv.insert(argv.end(), run.args.begin(), run.args.end());

  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; e++) {
    if (strncmp(*e, "PATH=", 5) == 0 || strncmp(*e, "LD_PRELOAD=", 11) == 0 ||
        strncmp(*e, "BOARD_SIM_ROOT=", 15) == 0 || strncmp(*e, "QEMU_SET_ENV=", 13) == 0)
      continue;
    env.push_back(*e);
  }
  const char *path = getenv("PATH");
  std::string search_path = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
  if (!run.path_prefix.empty())
    search_path = run.path_prefix + ":" + search_path;
  env.push_back("PATH=" + search_path);
  if (!run.sandbox.empty()) {
    (void)emulated;
#ifdef BOARD_SIM_LIBRARY
    // Under qemu-user the preload must reach the emulated program, not qemu.
    if (emulated)
      env.push_back(std::string("QEMU_SET_ENV=LD_PRELOAD=") + BOARD_SIM_LIBRARY);
    else
      env.push_back(std::string("LD_PRELOAD=") + BOARD_SIM_LIBRARY);
#endif
    env.push_back("BOARD_SIM_ROOT=" + run.sandbox);
#ifdef LOCKWARDEN_SANITIZED
    // The simulator comes before the sanitizer runtime in the load order.
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
#endif
  }
  env.insert(env.end(), run.extra_env.begin(), run.extra_env.end());
  return spawn(argv, env, state);
}

program_result run_tool(const program_run &run, const inherited_state &state)
{
  return wait_for(start_tool(run, state));
}

program_result run_shell(const std::string &command)
{
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; e++)
    env.push_back(*e);
  return wait_for(spawn({"/bin/sh", "-c", command}, env));
}

program_run board_run(const board &b, const std::vector<std::string> &args)
{
  return {args, b.root, FAKE_CRYPTSETUP_BIN, {"FAKE_CRYPTSETUP_DIR=" + b.path("/fake")}, ""};
}

program_result run_on_board(const board &b, const std::vector<std::string> &args)
{
  return run_tool(board_run(b, args));
}

started_program start_on_board(const board &b, const std::vector<std::string> &args)
{
  return start_tool(board_run(b, args));
}

program_result run_with_real_cryptsetup(const board &b, const std::vector<std::string> &args)
{
  return run_tool({args, b.root, PEER_CRYPTSETUP_BIN, {}, ""});
}

bool under_valgrind()
{
  FILE *maps = fopen("/proc/self/maps", "r");
  char line[512];
  bool found = false;
  while (!found && fgets(line, sizeof(line), maps) != nullptr)
    found = strstr(line, "vgpreload") != nullptr;
  fclose(maps);
  return found;
}
