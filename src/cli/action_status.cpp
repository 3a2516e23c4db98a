// SPDX-License-Identifier: MIT
#include "cli/actions.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/process_state.h"
#include "cli/status_reason.h"
#include "cli/status_report.h"
#include "keyblob/keymod.h"
#include "keyring/keyring_device.h"
#include "util/report.h"
#include "util/secure_wipe.h"
#include "volume/keyslot_test.h"

namespace {

// The report alone on standard output: a duplicate of it is kept for the
// report, and descriptor 1 becomes standard error for everything else, the
// [ERROR] lines of the code an open runs and every child's output. Nothing
// is restored: the run ends after the report.
int take_standard_output()
{
  (void)fflush(stdout);
  const int report_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (report_fd >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    close(report_fd);
    return -1;
  }
  return report_fd;
}

fallback_state state_of(blob_outcome outcome)
{
  switch (outcome) {
  case BLOB_UNWRAPPED:
    return FALLBACK_OK;
  case BLOB_REFUSED:
    return FALLBACK_REFUSED;
  case BLOB_UNREADABLE:
    return FALLBACK_UNREADABLE;
  default:
    return FALLBACK_UNKNOWN;
  }
}

// A blob read but not unwrapped: the fuses, or the key blob device itself.
void find_why_not_asked(status_facts *facts)
{
  facts->unreadable_fuse = unreadable_fuse_file();
  const int device = facts->unreadable_fuse == nullptr ? open(KEY_BLOB_DEVICE, O_RDWR | O_CLOEXEC) : -1;
  facts->no_key_blob_device = facts->unreadable_fuse == nullptr && device < 0;
  if (device >= 0)
    close(device);
}

// The copy behind the U-Boot environment, read even when the primary
// answers. Where fw_env.config accepts no line, the place stays the primary's
// device at offset 0: no copy of its own.
void probe_fallback(status_facts *facts, const keyring_location *keyring)
{
  keyring_location *place = &facts->fallback_place;
  if (get_keydev_and_offset_from_fwenv(keyring, place) != 0 || place->keydev == nullptr ||
      (keyring->keydev != nullptr && strcmp(place->keydev, keyring->keydev) == 0 && place->offset == 0))
    return;
  facts->fallback = state_of(read_and_verify_key(place, facts->fallback_key, sizeof(facts->fallback_key)));
}

// The keyring as an open finds it, locks it (shared, a bounded wait) and
// reads it, and the key an open would use.
void probe_keyring(status_facts *facts, keyring_location *keyring)
{
  facts->board = check_cmdline_for_nand();
  // A disk word that names no eMMC disk fails the search as it fails an
  // open's, with the one line.
  if (facts->board == 0)
    facts->disk_result = get_mmc_disk(facts->disk);
  if (keyring->keydev != nullptr)
    facts->located = 0;
  else if (facts->disk_result == 0)
    facts->located = init_keydev_and_offset(keyring);
  if (facts->located == 0) {
    facts->lock_refused = lock_keyring(keyring, KEYRING_SHARED) == LOCK_REFUSED;
    if (!facts->lock_refused)
      facts->primary = read_and_verify_key(keyring, facts->key, sizeof(facts->key));
    if (facts->primary == BLOB_NOT_ASKED && !facts->lock_refused)
      find_why_not_asked(facts);
  }
  probe_fallback(facts, keyring);
  facts->have_key = facts->primary == BLOB_UNWRAPPED;
  if (facts->primary == BLOB_REFUSED && facts->fallback == FALLBACK_OK) {
    memcpy(facts->key, facts->fallback_key, sizeof(facts->key));
    facts->have_key = true;
    facts->key_from_fallback = true;
  }
}

// The device as an open checks it, then its header and whether the key
// opens it, then whether it is mapped. Nothing here maps, formats or writes.
void probe_volume(status_facts *facts)
{
  const char *device = facts->device;
  if (cryptsetup_open_check(device, nullptr) != 0)
    facts->refused_argument = device;
  else if (facts->name != nullptr && cryptsetup_open_check(device, facts->name) != 0)
    facts->refused_argument = facts->name;
  struct stat node;
  facts->device_exists = stat(device, &node) == 0 || (errno != ENOENT && errno != ENOTDIR);
  if (facts->refused_argument == nullptr && facts->device_exists) {
    facts->luks = cryptsetup_isLuks(device);
    if (facts->luks == LUKS_PRESENT) {
      facts->dump_read = cryptsetup_luksDump(device, &facts->dump) == 0;
      facts->key_tested = facts->have_key;
      if (facts->have_key)
        facts->key_result = cryptsetup_test_keyslot(device, facts->key, -1, &facts->keyslot);
    }
  }
  find_luks_mapping(device, facts->name, &facts->mapping);
}

}  // namespace

int action_status(const cli_options_record *options, keyring_location *keyring)
{
  const int report_fd = take_standard_output();
  if (report_fd < 0)
    return report_error(SCOPE_MAIN, "status report");
  status_facts facts;
  facts.device = options->partition_device;
  facts.name = options->mapped_name;
  probe_keyring(&facts, keyring);
  if (facts.device != nullptr)
    probe_volume(&facts);

  status_report report;
  const int status = report_status(&facts, keyring, &report);
  secure_wipe(facts.key, sizeof(facts.key));
  secure_wipe(facts.fallback_key, sizeof(facts.fallback_key));
  free_keydev(&facts.fallback_place);
  // No child follows: a reader of the report that went away costs the
  // report, not the exit status.
  ignore_broken_pipe();
  (void)write_status_report(&report, report_fd);
  release_status_report(&report);
  return status;
}
