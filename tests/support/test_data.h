// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>

// The key of most tests: bytes 00..1f, and its base64 text.
inline const std::string KEY_TEXT = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
std::string key_00_to_1f();
// A second key: bytes 20..3f, and its base64 text.
inline const std::string OTHER_KEY_TEXT = "ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9Pj8=";
std::string key_20_to_3f();

// Lower-case hex digits of `n` bytes.
std::string hex(const void *bytes, size_t n);
inline std::string hex(const std::string &bytes) { return hex(bytes.data(), bytes.size()); }

// A whole file; empty when it cannot be read.
std::string read_whole_file(const std::string &path);
// A file below tests/data, which must not be empty.
std::string read_fixture(const std::string &relative_path);
