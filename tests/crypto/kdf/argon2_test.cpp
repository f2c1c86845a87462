// Argon2d, Argon2i and Argon2id against RFC 9106 section 5 and libgcrypt's Argon2 over random parameters;
// the parameter checks, which refuse before any memory is taken.
#include "crypto/kdf/argon2.h"
#include "tests/crypto/kdf/kdf_test_util.h"
#include "tests/vector_file.h"
#include "tests/test_support.h"

#ifndef VELMORA_HAVE_GCRYPT
#define VELMORA_HAVE_GCRYPT 0
#endif
#if VELMORA_HAVE_GCRYPT
#include <gcrypt.h>
#endif

namespace velmora::crypto {
namespace {

using testing_support::ReadVectors;
using testing_support::Text;
using testing_support::VectorPath;

void SetBytes(core::BufferCore& buffer, const std::string& bytes) {
  ASSERT_EQ(buffer.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
}

#if VELMORA_HAVE_GCRYPT
std::string GcryptArgon2(int32_t type, int passes, int memory, int lanes, int tag, const std::string& password,
                         const std::string& salt, const std::string& secret, const std::string& associated) {
  static const bool ready = gcry_check_version(nullptr) != nullptr;
  (void)ready;
  const int subtypes[] = {GCRY_KDF_ARGON2D, GCRY_KDF_ARGON2I, GCRY_KDF_ARGON2ID};
  unsigned long params[4] = {static_cast<unsigned long>(tag), static_cast<unsigned long>(passes),
                             static_cast<unsigned long>(memory), static_cast<unsigned long>(lanes)};
  gcry_kdf_hd_t hd = nullptr;
  std::string out(static_cast<size_t>(tag), '\0');
  bool ok = gcry_kdf_open(&hd, GCRY_KDF_ARGON2, subtypes[type], params, 4, password.data(), password.size(),
                          salt.data(), salt.size(), secret.data(), secret.size(), associated.data(),
                          associated.size()) == 0;
  ok = ok && gcry_kdf_compute(hd, nullptr) == 0 && gcry_kdf_final(hd, out.size(), out.data()) == 0;
  if (hd != nullptr) gcry_kdf_close(hd);
  return ok ? out : "";
}
#endif

TEST(Argon2, Rfc9106Section5) {
  for (auto& v : ReadVectors(VectorPath("argon2.txt"), {"Type", "Memory", "Passes", "Lanes", "Password", "Salt",
                                                        "Secret", "Associated", "Tag"})) {
    Argon2Params params;
    params.type = Argon2TypeFromName(v.Get("Type").c_str());
    params.memory_kib = std::stoi(v.Get("Memory"));
    params.passes = std::stoi(v.Get("Passes"));
    params.lanes = std::stoi(v.Get("Lanes"));
    const std::string tag = v.Bytes("Tag");
    params.tag_length = static_cast<int32_t>(tag.size());
    SetBytes(params.salt, v.Bytes("Salt"));
    SetBytes(params.secret, v.Bytes("Secret"));
    SetBytes(params.associated, v.Bytes("Associated"));
    const std::string password = v.Bytes("Password");
    core::Buffer out;
    ASSERT_EQ(Argon2Hash(params, U8(password), static_cast<int32_t>(password.size()), out), 0);
    EXPECT_EQ(ToHex(Text(out)), ToHex(tag)) << v.Origin();
  }
  EXPECT_EQ(Argon2TypeFromName("ARGON2ID"), kArgon2id);
  EXPECT_EQ(Argon2TypeFromName("argon2"), -1);
}

TEST(Argon2, MatchesLibgcrypt) {
#if !VELMORA_HAVE_GCRYPT
  GTEST_SKIP() << "libgcrypt is not available: differential test skipped";
#else
  const uint32_t seed = TestSeed(2107);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const int count = getenv("VELMORA_ARGON2_CASES") != nullptr ? atoi(getenv("VELMORA_ARGON2_CASES")) : 24;
  for (int i = 0; i < count; ++i) {
    Argon2Params params;
    params.type = i % 3;
    params.lanes = 1 + static_cast<int32_t>(rng() % 4);
    params.memory_kib = 8 * params.lanes + static_cast<int32_t>(rng() % (i % 4 == 0 ? 480 : 100));
    params.passes = 1 + static_cast<int32_t>(rng() % 3);
    // Tags around the 64-byte switch to the long form of H'.
    const int32_t tags[] = {4, 32, 63, 64, 65, 100, 200};
    params.tag_length = i < 7 ? tags[i] : 4 + static_cast<int32_t>(rng() % 197);
    const std::string password = RandomBytes(rng, rng() % 70);
    const std::string salt = RandomBytes(rng, 8 + rng() % 30);
    const std::string secret = RandomBytes(rng, 1 + rng() % 32);
    const std::string associated = RandomBytes(rng, 1 + rng() % 40);
    SetBytes(params.salt, salt);
    SetBytes(params.secret, secret);
    SetBytes(params.associated, associated);
    core::Buffer out;
    ASSERT_EQ(Argon2Hash(params, U8(password), static_cast<int32_t>(password.size()), out), 0);
    EXPECT_EQ(ToHex(Text(out)), ToHex(GcryptArgon2(params.type, params.passes, params.memory_kib, params.lanes,
                                                   params.tag_length, password, salt, secret, associated)))
        << "type " << params.type << " p " << params.lanes << " m " << params.memory_kib << " t " << params.passes
        << " T " << params.tag_length;
  }
#endif
}

TEST(Argon2, ParametersOutsideTheStandardAreRefusedBeforeAllocating) {
  // {type, passes, memory KiB, lanes, tag bytes, salt bytes}: the first is valid, each other breaks one
  // rule of RFC 9106 section 3.1 (no lanes, memory below 8 KiB or 4 KiB per lane, 4 GiB of memory,
  // negative memory, no passes, a 3-byte tag, a 7-byte salt, an unknown type).
  static constexpr int32_t kCases[][6] = {{2, 1, 64, 2, 16, 8},  {2, 1, 64, 0, 16, 8},      {2, 1, 15, 2, 16, 8},
                                          {2, 1, 3, 2, 16, 8},   {2, 1, 4194304, 2, 16, 8}, {2, 1, -64, 2, 16, 8},
                                          {2, 0, 64, 2, 16, 8},  {2, 1, 64, 2, 3, 8},       {2, 1, 64, 2, 16, 7},
                                          {3, 1, 64, 2, 16, 8}};
  for (const auto& c : kCases) {
    Argon2Params params;
    params.type = c[0];
    params.passes = c[1];
    params.memory_kib = c[2];
    params.lanes = c[3];
    params.tag_length = c[4];
    SetBytes(params.salt, std::string(static_cast<size_t>(c[5]), 's'));
    core::Buffer out;
    const bool valid = &c == &kCases[0];
    {
      testing_support::FailingAllocations failing(0);
      EXPECT_EQ(Argon2Hash(params, U8("pw"), 2, out), valid ? core::kOutOfMemory : kArgon2BadParameters)
          << "case " << (&c - kCases);
    }
    if (valid) {
      EXPECT_EQ(Argon2Hash(params, U8("pw"), 2, out), 0);
      EXPECT_EQ(out.Length(), 16);
    }
  }
}

}  // namespace
}  // namespace velmora::crypto
