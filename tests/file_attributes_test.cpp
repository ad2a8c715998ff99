#include "safe/file_attributes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace {

struct acl_entry {
  std::uint16_t tag;
  std::uint16_t perm;
  std::uint32_t id;
};

// An access ACL as the kernel stores it: version 2, then each entry,
// little-endian.
std::string acl_value(std::initializer_list<acl_entry> entries) {
  std::string value{2, 0, 0, 0};
  for (const auto& e : entries) {
    value += {static_cast<char>(e.tag & 0xff),        static_cast<char>(e.tag >> 8),
              static_cast<char>(e.perm & 0xff),       static_cast<char>(e.perm >> 8),
              static_cast<char>(e.id & 0xff),         static_cast<char>((e.id >> 8) & 0xff),
              static_cast<char>((e.id >> 16) & 0xff), static_cast<char>(e.id >> 24)};
  }
  return value;
}

constexpr std::uint16_t user_obj = 0x01, user = 0x02, group_obj = 0x04, mask = 0x10, other = 0x20;

}  // namespace

// When an ACL has to be dropped, the group bits of the mode (its mask) must
// not hand the owning group what the ACL kept from it.
TEST(FileAttributes, GroupBitsOfAnAclAreTheOwningGroupsUnderTheMask) {
  // u::rw, u:4242:rw, g::---, m::rw, o::---: the mode shows rw for the group.
  EXPECT_EQ(file_attributes_acl_group_bits(acl_value({{user_obj, 6, 0xffffffff},
                                                      {user, 6, 4242},
                                                      {group_obj, 0, 0xffffffff},
                                                      {mask, 6, 0xffffffff},
                                                      {other, 0, 0xffffffff}})),
            0U);
  EXPECT_EQ(file_attributes_acl_group_bits(acl_value(
                {{user_obj, 6, 0xffffffff}, {group_obj, 5, 0xffffffff}, {mask, 4, 0xffffffff}})),
            4U);
  EXPECT_EQ(file_attributes_acl_group_bits(acl_value({{group_obj, 6, 0xffffffff}})), 6U);
  // Nothing to go by: no narrowing.
  EXPECT_EQ(file_attributes_acl_group_bits(acl_value({})), 7U);
  EXPECT_EQ(file_attributes_acl_group_bits(std::string_view("\2\0\0\0\4\0", 6)), 7U);
}
