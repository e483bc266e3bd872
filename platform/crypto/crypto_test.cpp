#include "platform/crypto/base64.h"
#include "platform/crypto/constant_time.h"
#include "platform/crypto/digest.h"
#include "platform/crypto/secure_random.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace pavonix::crypto {
namespace {

std::string hex(std::span<const std::uint8_t> bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(Base64, EncodesRfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(std::string_view(plain)), encoded);
        auto decoded = base64Decode(encoded);
        ASSERT_TRUE(decoded) << encoded;
        EXPECT_EQ(text(*decoded), plain);
    }
}

TEST(Base64, UrlFormSwapsAlphabetAndDropsPadding) {
    const std::uint8_t bytes[] = {0xfb, 0xff, 0xfe, 0x3e};
    EXPECT_EQ(base64Encode(bytes), "+//+Pg==");
    EXPECT_EQ(base64urlEncode(bytes), "-__-Pg");
    for (const char* form : {"-__-Pg", "-__-Pg==", "+//+Pg", "+//+Pg=="}) {
        auto decoded = base64urlDecode(form);
        ASSERT_TRUE(decoded) << form;
        EXPECT_EQ(*decoded, Bytes(std::begin(bytes), std::end(bytes))) << form;
    }
}

TEST(Base64, StrictDecoderRefusesLaxInput) {
    for (const char* bad : {"Zg", "Zg=", "Zm9v\n", " Zm9v", "Zm9v YmFy", "Zg==Zg==", "Z===", "====",
                            "Zm9*", "Zh==", "Zm9=", "-__-", "Zm\0v"}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
    EXPECT_FALSE(base64Decode(std::string_view("Zm\0v", 4)));
    // A length one past a multiple of four can never be padded into valid base64.
    EXPECT_FALSE(base64urlDecode("Zm9vY"));
    EXPECT_FALSE(base64urlDecode("Zm9v="));
    EXPECT_FALSE(base64urlDecode("Zh"));  // non-zero trailing bits
}

// SHA-256 and HMAC with a short key are pinned by the request signing vectors; these are the
// key lengths that signing never uses (RFC 4231 case 6: longer than a block; empty).
TEST(Digest, HmacSha256KeysLongerThanABlockOrEmpty) {
    const Bytes longKey(131, 0xaa);
    EXPECT_EQ(hex(hmacSha256(longKey, "Test Using Larger Than Block-Size Key - Hash Key First")),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    EXPECT_EQ(hex(hmacSha256(Bytes{}, "")), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(SecureRandom, GivesRequestedLengthAndFreshBytes) {
    EXPECT_EQ(secureRandomBytes(0)->size(), 0u);
    std::set<std::string> seen;
    for (int i = 0; i < 16; ++i) {
        auto bytes = secureRandomBytes(16);
        ASSERT_TRUE(bytes);
        ASSERT_EQ(bytes->size(), 16u);
        seen.insert(hex(*bytes));
    }
    EXPECT_EQ(seen.size(), 16u);
}

TEST(ConstantTime, ComparesLengthThenEveryByte) {
    const Bytes a{1, 2, 3}, b{1, 2, 3}, c{1, 2, 4}, d{1, 2};
    EXPECT_TRUE(constantTimeEqual(a, b));
    EXPECT_FALSE(constantTimeEqual(a, c));
    EXPECT_FALSE(constantTimeEqual(a, d));
    EXPECT_TRUE(constantTimeEqual(Bytes{}, Bytes{}));
}

}  // namespace
}  // namespace pavonix::crypto
