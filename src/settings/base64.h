// Base64 of RFC 4648 (standard alphabet, "=" padding, no line breaks): how a
// configuration text becomes one settings value free of line feeds, quotes
// and blanks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

constexpr std::size_t base64_encoded_length(std::size_t n) {
  return 4 * ((n + 2) / 3);
}

// Encodes n bytes of src into dst, which holds base64_encoded_length(n) + 1
// bytes, and ends the output with a NUL byte.
void base64_encode(const unsigned char* src, char* dst, std::size_t n);

// The base64 of text up to its first NUL byte.
std::string base64_encode_alloc(std::string_view text);
