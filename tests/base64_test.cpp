#include "settings/base64.h"

#include <gtest/gtest.h>

TEST(Base64, Rfc4648Vectors) {
  EXPECT_EQ(base64_encode_alloc(""), "");
  EXPECT_EQ(base64_encode_alloc("f"), "Zg==");
  EXPECT_EQ(base64_encode_alloc("fo"), "Zm8=");
  EXPECT_EQ(base64_encode_alloc("foo"), "Zm9v");
  EXPECT_EQ(base64_encode_alloc("foob"), "Zm9vYg==");
  EXPECT_EQ(base64_encode_alloc("fooba"), "Zm9vYmE=");
  EXPECT_EQ(base64_encode_alloc("foobar"), "Zm9vYmFy");
}

TEST(Base64, HighBytesAreUnsignedAndTextEndsAtNul) {
  EXPECT_EQ(base64_encode_alloc("\xff\xfe\x80"), "//6A");
  EXPECT_EQ(base64_encode_alloc("\xfb\xff"), "+/8=");
  EXPECT_EQ(base64_encode_alloc(std::string_view("ab\0cd", 5)), "YWI=");

  const unsigned char bytes[] = {0x00, 0x10, 0x83};
  char out[base64_encoded_length(3) + 1];
  base64_encode(bytes, out, 3);
  EXPECT_STREQ(out, "ABCD");
  base64_encode(bytes, out, 0);
  EXPECT_STREQ(out, "");
}
