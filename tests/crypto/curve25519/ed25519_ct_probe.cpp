// Runs signing (reduction, base multiplication with its table selection, multiply-add) and key
// derivation with the private key, and so the nonce, marked undefined for valgrind memcheck: any branch
// or memory index that depends on them is reported. Run it under valgrind --error-exitcode=1.
#include <valgrind/memcheck.h>

#include <cstdint>
#include <cstdio>

#include "core/buffer.h"
#include "crypto/curve25519/ed25519_eddsa.h"

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

  VALGRIND_MAKE_MEM_DEFINED(signature.Data(), signature.Length());
  VALGRIND_MAKE_MEM_DEFINED(&rc, sizeof rc);
  if (rc != 0 || signature.Length() != 64) return 3;
  std::puts("signed");
  return 0;
}
