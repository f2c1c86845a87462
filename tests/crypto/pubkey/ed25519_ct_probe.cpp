// Runs signing and the secret-scalar operations with their secrets marked undefined for valgrind
// memcheck: any branch or memory index that depends on them is reported as an error. Run it under
// valgrind --error-exitcode=1; outside valgrind it just signs.
#include <valgrind/memcheck.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/buffer.h"
#include "crypto/pubkey/ed25519_eddsa.h"
#include "crypto/pubkey/ed25519_group.h"
#include "crypto/pubkey/ed25519_scalar.h"

using namespace velmora;

int main() {
  uint8_t seed[32];
  for (int i = 0; i < 32; ++i) seed[i] = static_cast<uint8_t>(i * 37 + 11);
  core::SecureBuffer private_key;
  core::Buffer public_key, signature;
  if (private_key.SetData(32, seed) != 0 || crypto::Ed25519PublicFromPrivate(private_key, public_key) != 0) return 2;

  // Signing with the private key undefined: only the public key it derives is declared public.
  const char message[] = "constant time";
  VALGRIND_MAKE_MEM_UNDEFINED(seed, sizeof seed);
  int rc = crypto::Ed25519Sign(reinterpret_cast<const uint8_t*>(message), sizeof message - 1, public_key.Bytes(), 32,
                               seed, 32, signature);
  rc |= crypto::Ed25519PhSign(reinterpret_cast<const uint8_t*>(message), sizeof message - 1, false, nullptr, 0,
                              public_key.Bytes(), 32, seed, 32, signature);
  // Deriving a public key from an undefined private key.
  VALGRIND_MAKE_MEM_UNDEFINED(private_key.Data(), 32);
  core::Buffer derived;
  rc |= crypto::Ed25519PublicFromPrivate(private_key, derived);

  // A nonce: reduction, the base multiplication with its table selection, encoding, multiply-add.
  uint8_t nonce[64], scalar[32], out[32];
  for (int i = 0; i < 64; ++i) nonce[i] = static_cast<uint8_t>(i * 91 + 3);
  for (int i = 0; i < 32; ++i) scalar[i] = static_cast<uint8_t>(i * 53 + 7);
  scalar[31] &= 63;
  VALGRIND_MAKE_MEM_UNDEFINED(nonce, sizeof nonce);
  VALGRIND_MAKE_MEM_UNDEFINED(scalar, sizeof scalar);
  rc |= crypto::Ed25519ScalarReduce(nonce, 64);
  crypto::Ed25519PointP3 point;
  rc |= crypto::Ed25519ScalarMultBase(point, nonce, 32);
  rc |= crypto::Ed25519P3ToBytes(out, 32, point);
  rc |= crypto::Ed25519ScalarMulAdd(out, 32, out, 32, scalar, 32, nonce, 32);
  crypto::Ed25519Precomp selected;
  int8_t digit = static_cast<int8_t>(scalar[3] % 17 - 8);
  VALGRIND_MAKE_MEM_UNDEFINED(&digit, 1);
  crypto::Ed25519PrecompSelect(selected, 5, digit);

  VALGRIND_MAKE_MEM_DEFINED(signature.Data(), signature.Length());
  VALGRIND_MAKE_MEM_DEFINED(&rc, sizeof rc);
  if (rc != 0 || signature.Length() != 64) return 3;
  std::puts("signed");
  return 0;
}
