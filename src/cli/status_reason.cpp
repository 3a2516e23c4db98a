// SPDX-License-Identifier: MIT
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "cli/status_facts.h"
#include "cli/status_report.h"
#include "keyblob/keymod.h"

namespace {

// Why an open would fail, or would need the copy behind the U-Boot
// environment: one plain sentence each, naming what was looked for and
// where, filled in with the places in the order of their %s.
enum reason {
  REASON_NONE,
  REASON_ARGUMENT,        // the argument
  REASON_MISSING,         // the device
  REASON_NOT_LUKS,        // the device
  REASON_LUKS_UNKNOWN,    // the device
  REASON_CMDLINE,         // /proc/cmdline
  REASON_NO_ROOT,         // /proc/cmdline
  REASON_MTD_UNREADABLE,  // /proc/mtd
  REASON_NO_MTD_SAFE,     // /proc/mtd
  REASON_FDISK,           // the disk
  REASON_NO_EMMC_SAFE,    // the disk, the disk
  REASON_LOCK,            // the keyring
  REASON_UNREADABLE,      // offset, keyring
  REASON_FUSE,            // the fuse file
  REASON_NO_KEY_BLOB_DEVICE,  // the key blob device
  REASON_NOT_ASKED,       // the key blob device, offset, keyring
  REASON_REFUSED_NO_COPY,     // offset, keyring
  REASON_REFUSED_COPY_REFUSED,     // offset, keyring, the copy's offset and device
  REASON_REFUSED_COPY_UNREADABLE,  // the same
  REASON_FALLBACK_ONLY,   // the same
  REASON_KEY_REFUSED,     // the device, the key's offset and device
  REASON_KEY_UNTESTED,    // the device
};

#define REFUSED_BLOB                                                                                     \
  "the key blob at offset %s of %s is refused by the key blob device: made on another board, before the " \
  "secure-boot fuse was set, or damaged (an empty place looks the same)"

constexpr const char *REASONS[] = {
    "",
    "%s cannot go on cryptsetup's command line: a device path and a mapped name take letters, digits and "
    "/" LOCKWARDEN_NAME_CHARS " only, no leading -, at most 4095 and 127 bytes",
    "%s does not exist",
    "%s holds no LUKS header",
    "cryptsetup cannot tell whether %s holds a LUKS header: a damaged header, or no cryptsetup on the PATH",
    "cannot read the kernel command line %s",
    "the kernel command line %s has no root= word, which tells a NAND board from an eMMC board",
    "cannot read %s to find the MTD partition named safe",
    "no MTD partition named safe in %s",
    "cannot run /sbin/fdisk -l %s to find the partition named safe",
    "no partition named safe on %s: neither in the listing of /sbin/fdisk -l %s nor as PARTNAME=safe in "
    "/sys/class/block",
    "the keyring %s stayed locked for 30 s by another run storing a key, or its lock was refused",
    "cannot read the key blob at offset %s of %s",
    "cannot read the fuse word file %s",
    "cannot open the key blob device %s",
    "the key blob device %s could not be asked to unwrap the key blob at offset %s of %s",
    REFUSED_BLOB ", and /etc/fw_env.config names no copy behind the U-Boot environment",
    REFUSED_BLOB ", and so is the copy at offset %s of %s behind the U-Boot environment",
    REFUSED_BLOB ", and the copy at offset %s of %s behind the U-Boot environment cannot be read",
    REFUSED_BLOB "; an open uses the copy at offset %s of %s behind the U-Boot environment",
    "the volume's header does not take the stored key: no keyslot of %s opens with the key blob at offset %s of %s",
    "cryptsetup could not test the stored key on %s",
};
static_assert(sizeof(REASONS) / sizeof(REASONS[0]) == REASON_KEY_UNTESTED + 1, "one sentence a reason");

struct chosen_reason {
  reason which = REASON_NONE;
  const char *places[4] = {"", "", "", ""};
};

void choose(chosen_reason *chosen, reason which, const char *a = "", const char *b = "", const char *c = "",
            const char *d = "")
{
  *chosen = {which, {a, b, c, d}};
}

// Why the device would not open before any key is recovered.
bool volume_reason(const status_facts *facts, chosen_reason *chosen)
{
  if (facts->device == nullptr)
    return false;
  if (facts->refused_argument != nullptr)
    choose(chosen, REASON_ARGUMENT, facts->refused_argument);
  else if (!facts->device_exists)
    choose(chosen, REASON_MISSING, facts->device);
  else if (facts->luks == LUKS_ABSENT)
    choose(chosen, REASON_NOT_LUKS, facts->device);
  else if (facts->luks != LUKS_PRESENT)
    choose(chosen, REASON_LUKS_UNKNOWN, facts->device);
  return chosen->which != REASON_NONE;
}

// Why no keyring was found.
bool location_reason(const status_facts *facts, chosen_reason *chosen)
{
  if (facts->board == LOCATION_SOURCE_MISSING)
    choose(chosen, REASON_CMDLINE, CMDLINE_PATH);
  else if (facts->board < 0)
    choose(chosen, REASON_NO_ROOT, CMDLINE_PATH);
  else if (facts->located != 0 && facts->board == 1)
    choose(chosen, facts->located == LOCATION_SOURCE_MISSING ? REASON_MTD_UNREADABLE : REASON_NO_MTD_SAFE,
           MTD_TABLE_PATH);
  else if (facts->located != 0)
    choose(chosen, facts->located == LOCATION_SOURCE_MISSING ? REASON_FDISK : REASON_NO_EMMC_SAFE, MMC_DISK,
           MMC_DISK);
  return chosen->which != REASON_NONE;
}

// What the key blob device could not be asked for: the fuses, the device
// itself, or (out of memory) neither.
void not_asked_reason(const char *offset, const char *keyring, chosen_reason *chosen)
{
  const char *fuse = unreadable_fuse_file();
  const int device = fuse == nullptr ? open(KEY_BLOB_DEVICE, O_RDWR | O_CLOEXEC) : -1;
  if (fuse != nullptr)
    choose(chosen, REASON_FUSE, fuse);
  else if (device < 0)
    choose(chosen, REASON_NO_KEY_BLOB_DEVICE, KEY_BLOB_DEVICE);
  else
    choose(chosen, REASON_NOT_ASKED, KEY_BLOB_DEVICE, offset, keyring);
  if (device >= 0)
    close(device);
}

struct place_text {
  char offset[24];
  char fallback_offset[24];
};

// Why the key would not open the device, or comes from the copy; the rest.
void key_reason(const status_facts *facts, const keyring_location *keyring, const place_text *text,
                chosen_reason *chosen)
{
  const char *device = keyring->keydev != nullptr ? keyring->keydev : "";
  const char *copy = facts->fallback_place.keydev != nullptr ? facts->fallback_place.keydev : "";
  if (facts->lock_refused) {
    choose(chosen, REASON_LOCK, device);
  } else if (facts->primary == BLOB_UNREADABLE) {
    choose(chosen, REASON_UNREADABLE, text->offset, device);
  } else if (facts->primary == BLOB_NOT_ASKED) {
    not_asked_reason(text->offset, device, chosen);
  } else if (facts->primary == BLOB_REFUSED && !facts->key_from_fallback) {
    const reason which = facts->fallback == FALLBACK_NONE      ? REASON_REFUSED_NO_COPY
                         : facts->fallback == FALLBACK_REFUSED ? REASON_REFUSED_COPY_REFUSED
                                                               : REASON_REFUSED_COPY_UNREADABLE;
    choose(chosen, which, text->offset, device, text->fallback_offset, copy);
  } else if (facts->key_tested && facts->key_result != KEY_OPENS) {
    const bool refused = facts->key_result == KEY_REFUSED;
    choose(chosen, refused ? REASON_KEY_REFUSED : REASON_KEY_UNTESTED, facts->device,
           facts->key_from_fallback ? text->fallback_offset : text->offset, facts->key_from_fallback ? copy : device);
  } else if (facts->key_from_fallback) {
    choose(chosen, REASON_FALLBACK_ONLY, text->offset, device, text->fallback_offset, copy);
  }
}

const char *primary_value(const status_facts *facts)
{
  switch (facts->primary) {
  case BLOB_UNWRAPPED:
    return "ok";
  case BLOB_REFUSED:
    return "refused";
  case BLOB_UNREADABLE:
    return "unreadable";
  default:
    return "unknown";
  }
}

const char *volume_value(const status_facts *facts)
{
  if (!facts->device_exists)
    return "missing";
  if (facts->luks == LUKS_ABSENT)
    return "none";
  if (facts->luks != LUKS_PRESENT || !facts->dump_read)
    return "unknown";
  return facts->dump.version == 1 ? "luks1" : "luks2";
}

void report_volume(const status_facts *facts, status_report *report)
{
  static const char *const KEY_VALUES[] = {"yes", "no", "untested"};
  set_status(report, STATUS_VOLUME, "%s", volume_value(facts));
  const bool opens = facts->key_tested && facts->key_result == KEY_OPENS;
  set_status(report, STATUS_KEY_OPENS, "%s", facts->key_tested ? KEY_VALUES[facts->key_result] : "untested");
  const int slot = opens && facts->keyslot < LUKS_KEYSLOTS_MAX ? facts->keyslot : -1;
  if (slot >= 0)
    set_status(report, STATUS_KEYSLOT, "%d", slot);
  else
    set_status(report, STATUS_KEYSLOT, "%s", "");
  set_status(report, STATUS_KDF, "%s", slot >= 0 && facts->dump_read ? facts->dump.keyslots[slot].kdf : "");
  if (facts->dump_read)
    set_status(report, STATUS_TOKENS, "%d", facts->dump.token_count);
  else
    set_status(report, STATUS_TOKENS, "%s", "");
  set_status(report, STATUS_MAPPED, "%s", facts->mapping.name[0] != '\0' ? facts->mapping.name : "no");
  if (facts->name != nullptr)
    set_status(report, STATUS_MAPPED_AS_NAME, "%s", facts->mapping.as_name ? "yes" : "no");
}

void report_keyring(const status_facts *facts, const keyring_location *keyring, status_report *report)
{
  static const char *const FALLBACK_VALUES[] = {"none", "ok", "refused", "unreadable", "unknown"};
  set_status(report, STATUS_BOARD, "%s", facts->board == 1 ? "nand" : facts->board == 0 ? "emmc" : "unknown");
  set_status(report, STATUS_DISK, "%s", facts->board == 0 ? MMC_DISK : "");
  const bool located = facts->located == 0 && keyring->keydev != nullptr;
  set_status(report, STATUS_KEYRING, "%s", located ? keyring->keydev : "");
  if (located)
    set_status(report, STATUS_KEYRING_OFFSET, "%" PRIu64, keyring->offset);
  else
    set_status(report, STATUS_KEYRING_OFFSET, "%s", "");
  set_status(report, STATUS_PRIMARY, "%s", primary_value(facts));
  set_status(report, STATUS_FALLBACK, "%s", FALLBACK_VALUES[facts->fallback]);
}

// The sentence with its places put in for its %s, in order.
void report_reason(const chosen_reason *chosen, status_report *report)
{
  char *sentence = nullptr;
  size_t length = 0;
  FILE *text = open_memstream(&sentence, &length);
  if (text == nullptr)
    return;
  int place = 0;
  for (const char *c = REASONS[chosen->which]; *c != '\0'; c++) {
    if (c[0] == '%' && c[1] == 's' && place < 4) {
      (void)fputs(chosen->places[place++], text);
      c++;
    } else {
      (void)fputc(*c, text);
    }
  }
  if (fclose(text) == 0)
    set_status(report, STATUS_REASON, "%s", sentence);
  free(sentence);
}

}  // namespace

int report_status(const status_facts *facts, const keyring_location *keyring, status_report *report)
{
  report_keyring(facts, keyring, report);
  if (facts->device != nullptr)
    report_volume(facts, report);

  place_text text;
  (void)snprintf(text.offset, sizeof(text.offset), "%" PRIu64, keyring->offset);
  (void)snprintf(text.fallback_offset, sizeof(text.fallback_offset), "%" PRIu64, facts->fallback_place.offset);
  chosen_reason chosen;
  if (!volume_reason(facts, &chosen) && !location_reason(facts, &chosen))
    key_reason(facts, keyring, &text, &chosen);

  int status = -1;
  if (chosen.which == REASON_NONE)
    status = 0;
  else if (chosen.which == REASON_FALLBACK_ONLY)
    status = 2;
  if (status != 0)
    report_reason(&chosen, report);
  return status;
}
