#include "platform/crypto/secur32_modules.h"

#include <gtest/gtest.h>

#include "platform/crypto/crypto_modules.h"
#include "platform/modules.h"

namespace velmora::platform {
namespace {

using UnsupportedFn = SECURITY_STATUS (*)();

// Through the module table as the socket layer loads it; every call with bad input gets a status and
// leaves no handle open.
TEST(SecurityModule, TableAndBadInput) {
  ModuleHandle module = LoadModule("secur32.dll");
  ASSERT_NE(module, nullptr);
  auto init = reinterpret_cast<InitSecurityInterfaceAFn>(GetProc(module, "InitSecurityInterfaceA"));
  ASSERT_NE(init, nullptr);
  const SecurityFunctionTableA* table = init();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(reinterpret_cast<UnsupportedFn>(table->initialize_security_context)(), kSecEUnsupportedFunction);
  EXPECT_EQ(reinterpret_cast<UnsupportedFn>(table->further[13])(), kSecEUnsupportedFunction);

  const CERT_CONTEXT* const no_certificate[1] = {nullptr};
  SCHANNEL_CRED null_certificate{};
  null_certificate.version = kSchannelCredVersion;
  null_certificate.cred_count = 1;
  null_certificate.creds = no_certificate;
  SCHANNEL_CRED missing_array = null_certificate;
  missing_array.creds = nullptr;
  SCHANNEL_CRED unknown_version{};
  unknown_version.version = 3;
  SCH_CREDENTIALS no_parameters{};
  no_parameters.version = kSchCredentialsVersion;
  no_parameters.tls_parameter_count = 2;
  SCHANNEL_CRED only_ssl3{};
  only_ssl3.version = kSchannelCredVersion;
  only_ssl3.enabled_protocols = 0x30;  // no TLS bit: the library's default range

  struct Case {
    const char* what;
    const char* package;
    ULONG use;
    const void* description;
    SECURITY_STATUS status;
  };
  const char* schannel = "schannel";
  const Case cases[] = {
      {"null package", nullptr, 2, nullptr, kSecESecpkgNotFound},
      {"empty package", "", 2, nullptr, kSecESecpkgNotFound},
      {"other package", "Negotiate", 2, nullptr, kSecESecpkgNotFound},
      {"both directions", schannel, 3, nullptr, kSecEInvalidParameter},
      {"null certificate", schannel, 2, &null_certificate, kSecENoCredentials},
      {"null certificate array", schannel, 2, &missing_array, kSecENoCredentials},
      {"unknown version", schannel, 2, &unknown_version, kSecEUnknownCredentials},
      {"parameters missing", schannel, 2, &no_parameters, kSecEInvalidParameter},
      {"server defaults", "Microsoft SSL 3.0", 1, nullptr, kSecENoCredentials},
      {"client defaults", schannel, 2, nullptr, kSecEOk},
      {"SSL 3 bits only", schannel, 2, &only_ssl3, kSecEOk},
  };
  for (const Case& c : cases) {
    SecHandle credential;
    EXPECT_EQ(table->acquire_credentials_handle(nullptr, c.package, c.use, nullptr, c.description, nullptr,
                                                nullptr, &credential, nullptr),
              c.status)
        << c.what;
    EXPECT_EQ(credential.IsSet(), c.status == kSecEOk) << c.what;
    if (!credential.IsSet()) continue;
    // A credential is not a context, and a closed one is stale.
    SecPkgContext_ConnectionInfo info{};
    EXPECT_EQ(table->query_context_attributes(&credential, kSecpkgAttrConnectionInfo, &info), kSecEInvalidHandle);
    EXPECT_EQ(table->delete_security_context(&credential), kSecEInvalidHandle);
    EXPECT_EQ(table->free_credentials_handle(&credential), kSecEOk);
    EXPECT_EQ(table->free_credentials_handle(&credential), kSecEInvalidHandle);
  }
  EXPECT_EQ(table->acquire_credentials_handle(nullptr, schannel, 2, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr),
            kSecEInvalidParameter);

  SecHandle context;
  SecPkgContext_ConnectionInfo info{};
  EXPECT_EQ(table->query_context_attributes(&context, kSecpkgAttrConnectionInfo, &info), kSecEInvalidHandle);
  ASSERT_EQ(test::MakeConnectionContext({0x800, 0x6610, 256, 0x800D, 384, 0xAE06, 253}, &context), kSecEOk);
  EXPECT_EQ(table->query_context_attributes(&context, 91, &info), kSecEUnsupportedFunction);
  EXPECT_EQ(table->query_context_attributes(&context, kSecpkgAttrConnectionInfo, nullptr), kSecEInvalidParameter);
  EXPECT_EQ(table->query_context_attributes(&context, kSecpkgAttrConnectionInfo, &info), kSecEOk);
  EXPECT_EQ(info.exchange_strength, 253u);
  EXPECT_EQ(table->delete_security_context(&context), kSecEOk);
  EXPECT_EQ(table->query_context_attributes(&context, kSecpkgAttrConnectionInfo, &info), kSecEInvalidHandle);
  EXPECT_EQ(table->delete_security_context(nullptr), kSecEInvalidHandle);
  EXPECT_EQ(test::LiveCryptoHandles(), 0);
  EXPECT_TRUE(FreeModule(module));
}

}  // namespace
}  // namespace velmora::platform
