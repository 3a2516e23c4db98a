// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The one way a cryptsetup command line is made and a child's end is read,
// shared by every command of this folder.

// Room for any path the kernel takes (PATH_MAX less its NUL), such as a
// /dev/disk/by-partlabel/ link, and for any device-mapper name (DM_NAME_LEN
// less its NUL); the commands' own words fit in what is left.
constexpr size_t DEVICE_MAX = 4095;
constexpr size_t MAPPED_NAME_MAX = 127;
constexpr size_t COMMAND_LEN = DEVICE_MAX + 1 + MAPPED_NAME_MAX + 256;

// The command's words, the device and the name, if there is one, into
// `command` (COMMAND_LEN bytes). Arguments unsafe for the shell (anything
// but letters, digits, '/' and the mapped-name punctuation, or a leading
// '-'), or longer than any command has room for, are refused alike for every
// command, with the line of `scope` where there is one: false, and the
// command must not run.
[[nodiscard]] bool compose_command(char *command, const char *scope, const char *words, const char *device,
                                   const char *name);

// The one reading of a child's wait status: its exit status (0 to 255), or
// -1 when it was ended by a signal or could not be waited for (the latter
// with the "pclose" line of `scope`, where there is one).
[[nodiscard]] int exit_status_of(int wait_status, const char *scope);

// Writes `count` bytes of a key into a started child's standard input (a
// popen "w" stream): 0 when all went in. A child that quits before reading
// must not kill the program with SIGPIPE, so it is ignored for the write
// alone, once the child has started with the default disposition.
[[nodiscard]] int write_key_to_child(FILE *child, const uint8_t *key, size_t count);
