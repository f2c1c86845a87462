#include "crypto/providers/bcrypt_cipher_functions.h"

namespace velmora::crypto {

namespace {

template <typename Fn>
void Resolve(platform::ModuleHandle module, const char* name, Fn* slot) {
  *slot = reinterpret_cast<Fn>(platform::GetProc(module, name));
}

}  // namespace

BcryptCipherFunctions& BcryptCipherTable() {
  static BcryptCipherFunctions table;
  return table;
}

void LoadBcryptCipherFunctions() {
  BcryptCipherFunctions& t = BcryptCipherTable();
  if (t.module != nullptr) return;
  t.module = platform::LoadModule("Bcrypt.dll");
  if (t.module == nullptr) return;
  Resolve(t.module, "BCryptOpenAlgorithmProvider", &t.open_algorithm_provider);
  Resolve(t.module, "BCryptCloseAlgorithmProvider", &t.close_algorithm_provider);
  Resolve(t.module, "BCryptDestroyKey", &t.destroy_key);
  Resolve(t.module, "BCryptImportKey", &t.import_key);
  Resolve(t.module, "BCryptGetProperty", &t.get_property);
  Resolve(t.module, "BCryptSetProperty", &t.set_property);
  Resolve(t.module, "BCryptEncrypt", &t.encrypt);
  Resolve(t.module, "BCryptDecrypt", &t.decrypt);
  Resolve(t.module, "BCryptGenerateSymmetricKey", &t.generate_symmetric_key);
}

void FreeBcryptCipherFunctions() {
  BcryptCipherFunctions& t = BcryptCipherTable();
  if (t.module == nullptr) return;
  (void)platform::FreeModule(t.module);
  t = BcryptCipherFunctions{};
}

}  // namespace velmora::crypto
