// SPDX-License-Identifier: MIT
#pragma once

#include "volume/command_line.h"

// The LUKS mappings whose backing device is a given one, as the kernel
// publishes them in sysfs, without device-mapper requests or a cryptsetup
// child:
// - a block device MAJ:MIN: its holders, /sys/dev/block/MAJ:MIN/holders/dm-N;
// - a regular file (an image): the holders of each loop device whose
//   /sys/block/loopN/loop/backing_file is that file (the same inode);
// a holder counts when its dm/uuid starts with "CRYPT-LUKS" (a LUKS1 or
// LUKS2 mapping of cryptsetup), and its name is dm/name.

struct luks_mapping {
  char name[MAPPED_NAME_MAX + 1] = "";  // the first LUKS mapping found; empty: none
  bool as_name = false;                 // one of them is named as asked
};

// Fills `mapping` for `device`; `name` may be null. Prints nothing; a device
// that does not exist, or sysfs without the entries, has no mapping.
void find_luks_mapping(const char *device, const char *name, luks_mapping *mapping);
