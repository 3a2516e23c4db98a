// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// Canonical base64 (RFC 4648: the standard alphabet, '=' padding, no line
// breaks): the form that the key text check accepts and the decoder reads
// back to the same bytes.
constexpr size_t base64_encoded_length(size_t n) { return (n + 2) / 3 * 4; }

// Writes base64_encoded_length(n) characters and a NUL to `out` and returns
// the number of characters. It encodes keys: no table is indexed by their bits.
size_t base64_encode(const uint8_t *data, size_t n, char *out);

// Streaming base64 decoder. It never rejects input: "=" decodes as 62 and any
// byte outside the alphabet as 63, so a given text always yields the same key.
struct base64_decode_state {
  int32_t step;          // next character of a group of four: 0..3
  uint8_t partial_byte;  // output byte left unfinished by the previous chunk
};

int base64_char_value(uint8_t c);
void base64_decode_init(base64_decode_state *state);

// Returns the number r of complete bytes written. Writes out[0..r] and reads
// out[r]: the caller provides floor(3n/4) + 1 bytes from a fresh state.
int base64_decode_chunk(const char *text, size_t n, uint8_t *out, base64_decode_state *state);

// Whole NUL-terminated text; `out` needs floor(3 * strlen(text) / 4) + 1 bytes.
void base64_decode_string(const char *text, uint8_t *out);

// Exactly `n` bytes from the first (4n + 2) / 3 characters of `text`, each
// read as the streaming decoder reads it; nothing is written past out[n - 1].
// The bits of the last character past the n-th byte are dropped: a key
// text's 43rd character carries 2 of them.
void base64_decode_exact(const char *text, uint8_t *out, size_t n);
