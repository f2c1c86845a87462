// The roots of the algorithm objects: CryptoObject, the base every cipher, key, digest and HMAC object
// derives from, and ClearableKey, the RSA and DSA key objects as a reset sees them. They stand below the
// primitives so that each primitive can define its own object; a CryptoComponent holds them.
#pragma once

namespace velmora::component {

// CryptoObject is the base of every algorithm object a CryptoComponent holds (ciphers, RSA, DSA and EC
// keys, digests, HMACs); the component destroys it through its virtual destructor.
class CryptoObject {
 public:
  CryptoObject(const CryptoObject&) = delete;
  CryptoObject& operator=(const CryptoObject&) = delete;
  virtual ~CryptoObject() = 0;

 protected:
  CryptoObject() = default;
};

inline CryptoObject::~CryptoObject() = default;

// ClearableKey is an RSA or DSA key object as ResetAlgorithm sees it: Clear empties the key its engine
// works with (a platform key drops its handle) and returns 0 or the first failing code.
class ClearableKey : public CryptoObject {
 public:
  [[nodiscard]] virtual int Clear() = 0;
};

}  // namespace velmora::component
