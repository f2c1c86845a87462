// Owning pointers to OpenSSL objects, each freed by its own free function.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

namespace velmora::platform::ossl {

template <auto Free>
struct Freer {
  template <typename T>
  void operator()(T* object) const {
    Free(object);
  }
};

template <typename T, auto Free>
using Ptr = std::unique_ptr<T, Freer<Free>>;

using Pkey = Ptr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtx = Ptr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using Bn = Ptr<BIGNUM, BN_clear_free>;
using BnCtx = Ptr<BN_CTX, BN_CTX_free>;
using ParamBuild = Ptr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = Ptr<OSSL_PARAM, OSSL_PARAM_free>;

}  // namespace velmora::platform::ossl
