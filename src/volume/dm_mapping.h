// SPDX-License-Identifier: MIT
#pragma once

#include "volume/command_line.h"

// The LUKS mappings whose backing device is a given one.
struct luks_mapping {
  char name[MAPPED_NAME_MAX + 1] = "";  // the first LUKS mapping found; empty: none
  bool as_name = false;                 // one of them is named as asked
};

void find_luks_mapping(const char *device, const char *name, luks_mapping *mapping);
