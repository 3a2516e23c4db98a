// SPDX-License-Identifier: MIT
#include <sys/mman.h>
#include <sys/prctl.h>

#include <cstdio>

#include "cli/options.h"
#include "cli/process_state.h"
#include "keyblob/keygen.h"
#include "volume/cryptsetup.h"

int main(int argc, char **argv)
{
  begin_run();
  // Keys must reach neither a core file nor swap. Both are best effort: a
  // lock refused for lack of privilege changes nothing the user sees.
  (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  (void)mlockall(MCL_CURRENT | MCL_FUTURE);

  int result = 0;
  parse_options(argc, argv);
  const bool partition_work = cli_options.partition_device != nullptr && cli_options.mapped_name != nullptr;

  // A command line the partition work would refuse must not first store a
  // key or format a partition: it is refused before any step runs. So is a
  // format of the keyring's own storage, once the keyring is located; a
  // format without a new key holds the keyring from here on.
  if (partition_work && cli_options.do_format && cryptsetup_format_check(cli_options.partition_device) < 0) {
    printf("[ERROR] %s: format partition\n", __func__);
    result = -1;
  } else if (partition_work && cryptsetup_open_check(cli_options.partition_device, cli_options.mapped_name) < 0) {
    printf("[ERROR] %s: open partition\n", __func__);
    result = -1;
  } else if (partition_work && cli_options.do_format &&
             cryptsetup_format_prepare(cli_options.partition_device, !cli_options.new_key) < 0) {
    printf("[ERROR] %s: format partition\n", __func__);
    result = -1;
  }

  if (result >= 0 && cli_options.new_key) {
    // A new key for a volume that is opened but not formatted must open it.
    const char *volume = partition_work && !cli_options.do_format ? cli_options.partition_device : nullptr;
    result = generate_key(cli_options.new_key_base64, volume);
    if (result < 0)
      printf("[ERROR] %s: generate key\n", __func__);
  }

  if (result >= 0 && partition_work) {
    if (cli_options.do_format) {
      result = cryptsetup_format(cli_options.partition_device);
      if (result < 0)
        printf("[ERROR] %s: format partition\n", __func__);
    }
    if (result >= 0) {
      result = cryptsetup_open(cli_options.partition_device, cli_options.mapped_name);
      if (result < 0)
        printf("[ERROR] %s: open partition\n", __func__);
    }
  }

  end_run();
  return result;
}
