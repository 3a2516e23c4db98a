// SPDX-License-Identifier: MIT
#include <sys/mman.h>
#include <sys/prctl.h>

#include <cstdio>

#include "cli/options.h"
#include "cli/process_state.h"
#include "keyblob/keygen.h"
#include "volume/cryptsetup.h"

namespace {

// A command line the partition work would refuse must not first store a key
// or format a partition: it is refused before any step runs. So is a format
// of the keyring's own storage, once the keyring is located; a format without
// a new key holds the keyring from here on. 0, or -1 after main's line.
int check_partition_work(const char *device, const char *name)
{
  const bool format = cli_options.do_format;
  bool format_refused = format && cryptsetup_format_check(device) < 0;
  if (!format_refused && cryptsetup_open_check(device, name) < 0) {
    printf("[ERROR] %s: open partition\n", "main");
    return -1;
  }
  if (format_refused || (format && cryptsetup_format_prepare(device, !cli_options.new_key) < 0)) {
    printf("[ERROR] %s: format partition\n", "main");
    return -1;
  }
  return 0;
}

// -n -f: the partition is formatted with the new key before its blob is
// stored. A format that fails (a mistyped or busy device, argon2 killed for
// memory) then leaves the stored key, and the volumes it opens, as they were.
// A store that fails after the format leaves a fresh, empty volume and no
// stored key for it: -n -f again starts over.
int format_with_new_key(const char *device)
{
  new_key key;
  const char *failed = make_new_key(&key, cli_options.new_key_base64, nullptr) < 0 ? "generate key" : nullptr;
  if (failed == nullptr && cryptsetup_format_with_key(device, new_key_plain(&key)) < 0)
    failed = "format partition";
  if (failed == nullptr && store_new_key(&key) < 0)
    failed = "generate key";
  release_new_key(&key);
  if (failed == nullptr)
    return 0;
  printf("[ERROR] %s: %s\n", "main", failed);
  return -1;
}

}  // namespace

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

  if (partition_work)
    result = check_partition_work(cli_options.partition_device, cli_options.mapped_name);

  const bool format = partition_work && cli_options.do_format;
  if (result >= 0 && cli_options.new_key && format) {
    result = format_with_new_key(cli_options.partition_device);
  } else {
    if (result >= 0 && cli_options.new_key) {
      // A new key for a volume that is opened but not formatted must open it.
      result = generate_key(cli_options.new_key_base64, partition_work ? cli_options.partition_device : nullptr);
      if (result < 0)
        printf("[ERROR] %s: generate key\n", __func__);
    }
    if (result >= 0 && format) {
      result = cryptsetup_format(cli_options.partition_device);
      if (result < 0)
        printf("[ERROR] %s: format partition\n", __func__);
    }
  }
  if (result >= 0 && partition_work) {
    result = cryptsetup_open(cli_options.partition_device, cli_options.mapped_name);
    if (result < 0)
      printf("[ERROR] %s: open partition\n", __func__);
  }

  end_run();
  return result;
}
