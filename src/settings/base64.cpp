#include "settings/base64.h"

#include <array>

#include "sys/text.h"

namespace {

constexpr std::array<char, 65> alphabet{
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"};

}  // namespace

void base64_encode(const unsigned char* src, char* dst, std::size_t n) {
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const unsigned group = (src[i] << 16) | (src[i + 1] << 8) | src[i + 2];
    *dst++ = alphabet[(group >> 18) & 63];
    *dst++ = alphabet[(group >> 12) & 63];
    *dst++ = alphabet[(group >> 6) & 63];
    *dst++ = alphabet[group & 63];
  }
  if (n - i == 1) {
    const unsigned group = src[i] << 16;
    *dst++ = alphabet[(group >> 18) & 63];
    *dst++ = alphabet[(group >> 12) & 63];
    *dst++ = '=';
    *dst++ = '=';
  } else if (n - i == 2) {
    const unsigned group = (src[i] << 16) | (src[i + 1] << 8);
    *dst++ = alphabet[(group >> 18) & 63];
    *dst++ = alphabet[(group >> 12) & 63];
    *dst++ = alphabet[(group >> 6) & 63];
    *dst++ = '=';
  }
  *dst = '\0';
}

std::string base64_encode_alloc(std::string_view text) {
  text = text_before_nul(text);
  std::string encoded(base64_encoded_length(text.size()), '\0');
  // The string keeps room for its own terminating NUL, which the encoder writes.
  base64_encode(reinterpret_cast<const unsigned char*>(text.data()), encoded.data(), text.size());
  return encoded;
}
