// SPDX-License-Identifier: MIT
#include "cli/status_reason.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "cli/status_report.h"
#include "volume/luks_tokens.h"

namespace {

// Why an open would fail, or would need the copy behind the U-Boot
// environment: one plain sentence each, naming what was looked for and
// where, its places put in for its %s in order.
enum reason {
  REASON_NONE,
  REASON_ARGUMENT,
  REASON_MISSING,
  REASON_NOT_LUKS,
  REASON_LUKS_UNKNOWN,
  REASON_CMDLINE,
  REASON_NO_ROOT,
  REASON_DISK_WORD,
  REASON_MTD_UNREADABLE,
  REASON_NO_MTD_SAFE,
  REASON_FDISK,
  REASON_NO_EMMC_SAFE,
  REASON_LOCK,
  REASON_UNREADABLE,
  REASON_FUSE,
  REASON_NO_KEY_BLOB_DEVICE,
  REASON_NOT_ASKED,
  REASON_REFUSED_NO_COPY,
  REASON_REFUSED_COPY_REFUSED,
  REASON_REFUSED_COPY_UNREADABLE,
  REASON_FALLBACK_ONLY,
  REASON_KEY_REFUSED,
  REASON_KEY_UNTESTED,
};

#define REFUSED_BLOB                                                                                     \
  "the key blob at offset %s of %s is refused by the key blob device: made on another board, before the " \
  "secure-boot fuse was set, or damaged (an empty place looks the same)"

struct reason_sentence {
  reason which;
  const char *sentence;
};

constexpr reason_sentence REASONS[] = {
    {REASON_ARGUMENT, "%s cannot go on cryptsetup's command line: a device path and a mapped name take letters, "
                      "digits and /" LOCKWARDEN_NAME_CHARS " only, no leading -, at most 4095 and 127 bytes"},
    {REASON_MISSING, "%s does not exist"},
    {REASON_NOT_LUKS, "%s holds no LUKS header"},
    {REASON_LUKS_UNKNOWN,
     "cryptsetup cannot tell whether %s holds a LUKS header: a damaged header, or no cryptsetup on the PATH"},
    {REASON_CMDLINE, "cannot read the kernel command line %s"},
    {REASON_NO_ROOT, "the kernel command line %s has no root= word, which tells a NAND board from an eMMC board"},
    {REASON_DISK_WORD, "the lockwarden.disk= word of the kernel command line %s names no eMMC disk: /dev/mmcblk and "
                       "a number of at most three digits without leading zeros"},
    {REASON_MTD_UNREADABLE, "cannot read %s to find the MTD partition named safe"},
    {REASON_NO_MTD_SAFE, "no MTD partition named safe in %s"},
    {REASON_FDISK, "cannot run /sbin/fdisk -l %s to find the partition named safe"},
    {REASON_NO_EMMC_SAFE, "no partition named safe on %s: neither in the listing of /sbin/fdisk -l %s nor as "
                          "PARTNAME=safe in /sys/class/block"},
    {REASON_LOCK, "the keyring %s stayed locked for 30 s by another run storing a key, or its lock was refused"},
    {REASON_UNREADABLE, "cannot read the key blob at offset %s of %s"},
    {REASON_FUSE, "cannot read the fuse word file %s"},
    {REASON_NO_KEY_BLOB_DEVICE, "cannot open the key blob device %s"},
    {REASON_NOT_ASKED, "the key blob device %s could not be asked to unwrap the key blob at offset %s of %s"},
    {REASON_REFUSED_NO_COPY, REFUSED_BLOB ", and /etc/fw_env.config names no copy behind the U-Boot environment"},
    {REASON_REFUSED_COPY_REFUSED, REFUSED_BLOB ", and so is the copy at offset %s of %s behind the U-Boot environment"},
    {REASON_REFUSED_COPY_UNREADABLE,
     REFUSED_BLOB ", and the copy at offset %s of %s behind the U-Boot environment cannot be read"},
    {REASON_FALLBACK_ONLY, REFUSED_BLOB "; an open uses the copy at offset %s of %s behind the U-Boot environment"},
    {REASON_KEY_REFUSED, "the volume's header does not take the stored key: no keyslot of %s opens with the key "
                         "blob at offset %s of %s"},
    {REASON_KEY_UNTESTED, "cryptsetup could not test the stored key on %s"},
};

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
  else if (facts->board == 0 && facts->disk_result != 0)
    choose(chosen, REASON_DISK_WORD, CMDLINE_PATH);
  else if (facts->located != 0 && facts->board == 1)
    choose(chosen, facts->located == LOCATION_SOURCE_MISSING ? REASON_MTD_UNREADABLE : REASON_NO_MTD_SAFE,
           MTD_TABLE_PATH);
  else if (facts->located != 0)
    choose(chosen, facts->located == LOCATION_SOURCE_MISSING ? REASON_FDISK : REASON_NO_EMMC_SAFE, facts->disk,
           facts->disk);
  return chosen->which != REASON_NONE;
}

// Why the key blob device was not asked: the fuses, the device itself, or
// (out of memory) neither.
void not_asked_reason(const status_facts *facts, const char *offset, const char *keyring, chosen_reason *chosen)
{
  if (facts->unreadable_fuse != nullptr)
    choose(chosen, REASON_FUSE, facts->unreadable_fuse);
  else if (facts->no_key_blob_device)
    choose(chosen, REASON_NO_KEY_BLOB_DEVICE, KEY_BLOB_DEVICE);
  else
    choose(chosen, REASON_NOT_ASKED, KEY_BLOB_DEVICE, offset, keyring);
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
    not_asked_reason(facts, text->offset, device, chosen);
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
  set_status(report, STATUS_VOLUME, volume_value(facts));
  const bool opens = facts->key_tested && facts->key_result == KEY_OPENS;
  set_status(report, STATUS_KEY_OPENS, facts->key_tested ? KEY_VALUES[facts->key_result] : "untested");
  const int slot = opens && facts->keyslot < LUKS_KEYSLOTS_MAX ? facts->keyslot : -1;
  if (slot >= 0)
    set_status_number(report, STATUS_KEYSLOT, static_cast<unsigned>(slot));
  else
    set_status(report, STATUS_KEYSLOT, "");
  set_status(report, STATUS_KDF, slot >= 0 && facts->dump_read ? facts->dump.keyslots[slot].kdf : "");
  if (facts->dump_read)
    set_status_number(report, STATUS_TOKENS, static_cast<unsigned>(facts->dump.token_count));
  else
    set_status(report, STATUS_TOKENS, "");
  set_status(report, STATUS_MAPPED, facts->mapping.name[0] != '\0' ? facts->mapping.name : "no");
  if (facts->name != nullptr)
    set_status(report, STATUS_MAPPED_AS_NAME, facts->mapping.as_name ? "yes" : "no");
  // The lifecycle's tokens; where a cut left two board tokens, the one whose
  // keyslot the stored key opens counts. Stray keyslots only beside them.
  const bool tokens = facts->dump_read && facts->dump.version == 2;
  const uint32_t boards = tokens ? board_keyslots(&facts->dump) : 0;
  const uint32_t opened = slot >= 0 ? boards & (uint32_t{1} << slot) : 0;
  const bool recovery = tokens && recovery_keyslot(&facts->dump) >= 0;
  set_status(report, STATUS_RECOVERY, recovery ? "yes" : "no");
  set_status_list(report, STATUS_BOARD_KEYSLOT, opened != 0 ? opened : (boards & (boards - 1)) == 0 ? boards : 0);
  set_status_list(report, STATUS_STRAY_KEYSLOTS, recovery || boards != 0 ? stray_keyslots(&facts->dump) : 0);
}

void report_keyring(const status_facts *facts, const keyring_location *keyring, status_report *report)
{
  static const char *const FALLBACK_VALUES[] = {"none", "ok", "refused", "unreadable", "unknown"};
  set_status(report, STATUS_BOARD, facts->board == 1 ? "nand" : facts->board == 0 ? "emmc" : "unknown");
  set_status(report, STATUS_DISK, facts->board == 0 ? facts->disk : "");
  const bool located = facts->located == 0 && keyring->keydev != nullptr;
  set_status(report, STATUS_KEYRING, located ? keyring->keydev : "");
  if (located)
    set_status_number(report, STATUS_KEYRING_OFFSET, keyring->offset);
  else
    set_status(report, STATUS_KEYRING_OFFSET, "");
  set_status(report, STATUS_PRIMARY, primary_value(facts));
  set_status(report, STATUS_FALLBACK, FALLBACK_VALUES[facts->fallback]);
}

// Each reason's sentence at its own place, REASON_NONE's left out.
constexpr size_t REASON_COUNT = sizeof(REASONS) / sizeof(REASONS[0]);
constexpr bool in_order()
{
  for (size_t i = 0; i < REASON_COUNT; i++) {
    if (REASONS[i].which != static_cast<reason>(i + 1))
      return false;
  }
  return true;
}
static_assert(in_order() && REASON_COUNT == REASON_KEY_UNTESTED, "one sentence a reason, in the order of the reasons");

const char *sentence_of(reason which) { return which == REASON_NONE ? "" : REASONS[which - 1].sentence; }

// The sentence with its places put in for its %s, in order.
void report_reason(const chosen_reason *chosen, status_report *report)
{
  char *sentence = nullptr;
  size_t length = 0;
  FILE *text = open_memstream(&sentence, &length);
  if (text == nullptr)
    return;
  int place = 0;
  for (const char *c = sentence_of(chosen->which); *c != '\0'; c++) {
    if (c[0] == '%' && c[1] == 's' && place < 4) {
      (void)fputs(chosen->places[place++], text);
      c++;
    } else {
      (void)fputc(*c, text);
    }
  }
  if (fclose(text) == 0)
    set_status(report, STATUS_REASON, sentence);
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
