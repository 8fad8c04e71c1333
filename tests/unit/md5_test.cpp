#include "tools/md5.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Md5Of(const std::string& text) {
    Md5 md5;
    md5.update(text.data(), text.size());
    return md5.hexDigest();
}

// The test suite of RFC 1321, appendix A.5.
TEST(Md5, GivesTheDigestsOfTheReferenceSuite) {
    EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Of("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// Lengths around the block and padding boundaries, fed in every split: the
// digest depends only on the bytes, not on how they were handed over.
TEST(Md5, GivesOneDigestHoweverTheBytesAreSplit) {
    std::string bytes(200, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 37 + 11);
    for (size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 200u}) {
        const std::string text = bytes.substr(0, length);
        const std::string whole = Md5Of(text);
        for (size_t first = 0; first <= length; ++first) {
            Md5 md5;
            md5.update(text.data(), first);
            md5.update(text.data() + first, (length - first) / 2);
            md5.update(text.data() + first + (length - first) / 2, length - first - (length - first) / 2);
            ASSERT_EQ(md5.hexDigest(), whole) << "length " << length << ", split at " << first;
        }
    }
    EXPECT_EQ(Md5Of(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

}  // namespace
