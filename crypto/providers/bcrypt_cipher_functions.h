// The symmetric-cipher functions of the platform's "Bcrypt.dll", looked up at run time: the library never
// links them, so it runs where the module or a function is missing and every user can tell "not
// available" (a null pointer) from a platform failure.
#pragma once

#include "platform/crypto/cipher_types.h"
#include "platform/modules.h"

namespace velmora::crypto {

// BcryptCipherFunctions is the process-wide table: the module handle and one pointer per function, null
// while the module or the function is missing.
struct BcryptCipherFunctions {
  platform::ModuleHandle module = nullptr;
  platform::BCryptOpenAlgorithmProviderFn open_algorithm_provider = nullptr;
  platform::BCryptCloseAlgorithmProviderFn close_algorithm_provider = nullptr;
  platform::BCryptDestroyKeyFn destroy_key = nullptr;
  platform::BCryptImportKeyFn import_key = nullptr;
  platform::BCryptGetPropertyFn get_property = nullptr;
  platform::BCryptSetPropertyFn set_property = nullptr;
  platform::BCryptCipherFn encrypt = nullptr;
  platform::BCryptCipherFn decrypt = nullptr;
  platform::BCryptGenerateSymmetricKeyFn generate_symmetric_key = nullptr;
};

// BcryptCipherTable returns the table. Read it only between LoadBcryptCipherFunctions and
// FreeBcryptCipherFunctions, which run at process start and end, not beside other users.
BcryptCipherFunctions& BcryptCipherTable();

// LoadBcryptCipherFunctions loads "Bcrypt.dll" unless it is loaded and fills the pointers (null for a
// missing function). A missing module leaves the table empty; that is not an error.
void LoadBcryptCipherFunctions();
// FreeBcryptCipherFunctions frees the module and clears every pointer.
void FreeBcryptCipherFunctions();

}  // namespace velmora::crypto
