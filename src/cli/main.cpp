// SPDX-License-Identifier: MIT
#include <sys/mman.h>
#include <sys/prctl.h>

#include "cli/actions.h"
#include "cli/options.h"
#include "cli/process_state.h"
#include "keyring/keyring_location.h"

namespace {

// The steps in their documented order, each only after the one before it
// succeeded: the checks of the partition work, the new key (with -f the
// partition is formatted with it before it is stored), the format with the
// stored key, the open. --status is a run of its own.
int run_steps(const cli_options_record *options, keyring_location *keyring)
{
  if (options->status)
    return action_status(options, keyring);
  const bool partition_work = has_partition_work(options);
  if (partition_work && check_partition_work(options, keyring) != 0)
    return -1;
  if (options->new_key && action_new_key(options, keyring) != 0)
    return -1;
  if (partition_work && options->do_format && !options->new_key && action_format(options, keyring) != 0)
    return -1;
  if (partition_work && action_open(options, keyring) != 0)
    return -1;
  return 0;
}

}  // namespace

int main(int argc, char **argv)
{
  begin_run();
  // Keys must reach neither a core file nor swap. Both are best effort: a
  // lock refused for lack of privilege changes nothing the user sees.
  (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  (void)mlockall(MCL_CURRENT | MCL_FUTURE);

  cli_options_record options;
  parse_options(argc, argv, &options);
  keyring_location keyring;
  const int result = run_steps(&options, &keyring);

  // Whatever the steps did: the key text wiped, the keyring and its lock
  // released, the output ended.
  wipe_key_text(&options);
  free_keydev(&keyring);
  ignore_broken_pipe();
  flush_standard_output();
  return result;
}
