// EdDSA over Ed448 against the RFC 8032 vectors, python3-cryptography and the openssl command line,
// and the group's scalar multiplications against each other.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/buffer.h"
#include "crypto/pubkey/ed448.h"
#include "crypto/pubkey/ed448_group.h"
#include "crypto/pubkey/ed448_scalar.h"
#include "tests/core/python_oracle.h"
#include "tests/crypto/symmetric/vector_file.h"

namespace velmora::crypto {
namespace {

using testing_support::FromHex;
using testing_support::ReadVectors;
using testing_support::ToHex;
using testing_support::VectorEntry;

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
int32_t Len(const std::string& s) { return static_cast<int32_t>(s.size()); }
std::string Text(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }

std::string PublicOf(const std::string& secret) {
  core::SecureBuffer key;
  core::Buffer out;
  EXPECT_EQ(key.SetData(Len(secret), secret.data()), 0);
  EXPECT_EQ(Ed448PublicFromPrivate(key, out), 0);
  return Text(out);
}

std::string Sign(const std::string& message, const std::string& context, const std::string& secret, bool ph = false) {
  const std::string pub = PublicOf(secret);
  core::Buffer out;
  const int result =
      ph ? Ed448phSign(U8(message), Len(message), false, U8(context), Len(context), U8(pub), Len(pub), U8(secret),
                       Len(secret), out)
         : Ed448Sign(U8(message), Len(message), U8(context), Len(context), U8(pub), Len(pub), U8(secret), Len(secret),
                     out);
  EXPECT_EQ(result, 0);
  return Text(out);
}

int Verify(const std::string& message, const std::string& context, const std::string& pub, const std::string& sig) {
  return Ed448Verify(U8(message), Len(message), U8(context), Len(context), U8(pub), Len(pub), U8(sig), Len(sig));
}

TEST(Ed448Rfc8032, SignsAndVerifiesEveryVector) {
  const std::string path = std::string(VELMORABLE_SOURCE_DIR) + "/tests/data/crypto/pubkey/ed448_rfc8032.txt";
  for (VectorEntry& v : ReadVectors(path, {"Secret", "Public", "Message", "Context", "Prehash", "Signature"})) {
    const std::string secret = v.Bytes("Secret"), pub = v.Bytes("Public"), message = v.Bytes("Message");
    const std::string context = v.Bytes("Context"), sig = v.Bytes("Signature");
    const bool ph = v.Get("Prehash") == "1";
    EXPECT_EQ(ToHex(PublicOf(secret)), ToHex(pub)) << v.Origin();
    EXPECT_EQ(ToHex(Sign(message, context, secret, ph)), ToHex(sig)) << v.Origin();
    if (ph) {
      EXPECT_EQ(Ed448phVerify(U8(message), Len(message), false, U8(context), Len(context), U8(pub), Len(pub), U8(sig),
                              Len(sig)),
                1)
          << v.Origin();
    } else {
      EXPECT_EQ(Verify(message, context, pub, sig), 1) << v.Origin();
      std::string bad = sig;
      bad[60] ^= 1;
      EXPECT_EQ(Verify(message, context, pub, bad), 0) << v.Origin();
    }
  }
}

}  // namespace
}  // namespace velmora::crypto
