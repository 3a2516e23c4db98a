#pragma once

// The LUKS operations, run through the external cryptsetup program. The key
// reaches it only through a pipe on its standard input.
[[nodiscard]] int cryptsetup_isLuks(const char *device);
[[nodiscard]] int cryptsetup_format(const char *device);
[[nodiscard]] int cryptsetup_open(const char *device, const char *name);
