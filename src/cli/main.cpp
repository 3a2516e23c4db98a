// SPDX-License-Identifier: MIT
#include <sys/mman.h>
#include <sys/prctl.h>

#include "cli/actions.h"
#include "cli/lifecycle.h"
#include "cli/options.h"
#include "cli/process_state.h"
#include "keyring/keyring_location.h"
#include "util/report.h"

namespace {

// The steps in their documented order, each only after the one before it
// succeeded: the checks of the partition work, the new key (with -f the
// partition is formatted with it before it is stored), the format with the
// stored key, the open. --status, --rebind, --rotate and --escrow without -f
// are runs of their own.
int run_steps(const cli_options_record *options, keyring_location *keyring, escrow_cert *cert)
{
  if (options->status)
    return action_status(options, keyring);
  // The vendor's certificate is read and checked before anything else: no
  // key is made, stored or formatted for a seal that cannot be made.
  const escrow_cert *escrow = options->escrow_cert != nullptr ? cert : nullptr;
  if (escrow != nullptr && escrow_load_cert(options->escrow_cert, cert) != 0)
    return report_error(SCOPE_MAIN, "add recovery key");
  if (options->rebind)
    return action_rebind(options, keyring);
  if (options->rotate)
    return action_rotate(options, keyring);
  const bool partition_work = has_partition_work(options);
  if (partition_work && check_partition_work(options, keyring) != 0)
    return -1;
  if (escrow != nullptr && !options->do_format)
    return action_add_recovery_key(options, keyring, escrow);
  if (options->new_key && action_new_key(options, keyring, escrow) != 0)
    return -1;
  if (partition_work && options->do_format && !options->new_key && action_format(options, keyring, escrow) != 0)
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
  escrow_cert cert{};
  const int result = run_steps(&options, &keyring, &cert);

  // Whatever the steps did: the key text wiped, the keyring and its lock
  // released, the output ended.
  wipe_key_text(&options);
  escrow_free_cert(&cert);
  free_keydev(&keyring);
  ignore_broken_pipe();
  flush_standard_output();
  return result;
}
