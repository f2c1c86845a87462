// The platform names of digests, key-derivation functions and curves, against the tables the platform's
// key functions document.
#include <string>

#include <gtest/gtest.h>

#include "crypto/registry/platform_names.h"

namespace velmora::crypto {
namespace {

std::u16string Wide(const char16_t* text) { return text != nullptr ? std::u16string(text) : u"<null>"; }

TEST(PlatformNames, EveryTableAnswersAsDocumented) {
  const struct {
    const char* name;
    const char16_t* cng;
    int platform;
  } names[] = {{nullptr, u"SHA1", 1},   {"", u"SHA1", 1},          {"sha1", u"SHA1", 1},     {"SHA256", u"SHA256", 1},
               {"sha256", u"SHA256", 1}, {"Sha384", u"SHA384", 1},  {"SHA512", u"SHA512", 1}, {"md5", u"MD5", 0},
               {"MD4", u"MD4", 0},       {"md2", u"MD2", 0},        {"RAW", nullptr, 1},      {"raw", nullptr, 1},
               {"SHA224", nullptr, 0},   {"SHA-256", nullptr, 0},   {"SHA3_256", nullptr, 0}, {"bogus", nullptr, 0}};
  for (const auto& row : names) {
    EXPECT_EQ(Wide(CngHashNameW(row.name)), Wide(row.cng)) << (row.name ? row.name : "null");
    EXPECT_EQ(IsPlatformHashName(row.name), row.platform) << (row.name ? row.name : "null");
  }
  const char16_t* by_id[] = {u"SHA1", u"SHA256", u"SHA384", u"SHA512", u"MD2", u"MD4",
                             u"MD5",  u"SHA1",   u"SHA256", u"SHA384", u"SHA512", u"MD5"};
  for (int32_t id = -1; id <= 13; ++id) {
    EXPECT_EQ(Wide(CngHashNameByIdW(id)), id >= 0 && id < 12 ? Wide(by_id[id]) : u"") << id;
  }
  const struct {
    int32_t id;
    const char16_t* name;
  } kdfs[] = {{0, u"HASH"}, {1, u"HMAC"}, {2, u"TLS_PRF"}, {3, u""}, {98, u""}, {99, u"TRUNCATE"}, {-1, u""}};
  for (const auto& row : kdfs) EXPECT_EQ(Wide(CngKdfNameW(row.id)), Wide(row.name)) << row.id;
  const struct {
    int32_t type;
    const char16_t* name;
  } curves[] = {{0, u"ECDSA_P256"}, {1, u"ECDSA_P384"}, {2, u"ECDSA_P521"}, {3, u""}, {10, u""}, {-1, u""}};
  for (const auto& row : curves) {
    EcKeyParams params;
    params.KeyType = row.type;
    EXPECT_EQ(Wide(CngEcdsaCurveNameW(params)), Wide(row.name)) << row.type;
  }
}

}  // namespace
}  // namespace velmora::crypto
