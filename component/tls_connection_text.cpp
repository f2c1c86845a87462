// The one-line description of what a TLS connection negotiated.
#include <iterator>

#include "component/tls_credentials.h"
#include "platform/crypto/secur32_types.h"

namespace velmora::component {

namespace {

namespace plat = velmora::platform;

struct NameRow {
  uint32_t first;
  uint32_t last;
  const char* name;
};

// Protocol bits: each version's server and client bit.
constexpr NameRow kProtocolNames[] = {
    {0x1, 0x2, "PCT1"},       {0x4, 0x8, "SSL2"},         {0x10, 0x20, "SSL3"},         {0x40, 0x80, "TLS1"},
    {0x100, 0x200, "TLS1.1"}, {0x400, 0x800, "TLS1.2"},   {0x1000, 0x2000, "TLS1.3"},
};

// Cipher ids, each row a range.
constexpr NameRow kCipherNames[] = {
    {0x6601, 0x6601, "DES"}, {0x660C, 0x660C, "DES"},      {0x6602, 0x6602, "RC2"}, {0x6603, 0x6603, "Triple DES"},
    {0x660A, 0x660A, "Skipjack"}, {0x660E, 0x6611, "AES"}, {0x6801, 0x6801, "RC4"},
};

// Key exchange ids.
constexpr NameRow kExchangeNames[] = {
    {0x2400, 0x2400, "RSA"},          {0xA400, 0xA400, "RSA"}, {0xAA02, 0xAA02, "DH Ephemeral"},
    {0xAA04, 0xAA04, "KEA"},          {0xAE06, 0xAE06, "ECDH Ephemeral RSA"},
};

struct HashRow {
  uint32_t id;
  const char* text;
  int32_t default_strength;
};

constexpr HashRow kHashes[] = {
    {0x8003, "Hash: MD5 ", 128},    {0x8004, "Hash: SHA ", 160},    {0x800C, "Hash: SHA256 ", 256},
    {0x800D, "Hash: SHA384 ", 384}, {0x800E, "Hash: SHA512 ", 512},
};

// NameOf writes the name of value from the table into out, or the value as "0x%x" when no row holds it.
template <size_t N>
void NameOf(const NameRow (&table)[N], uint32_t value, core::Buffer& out) {
  for (const NameRow& row : table) {
    if (value >= row.first && value <= row.last) {
      (void)out.SetString(row.name);
      return;
    }
  }
  (void)out.Format("0x%x", value);
}

}  // namespace

int SslConnectionInfoText(SocketBase& socket, const SecurityHandle& context, core::Buffer& out) {
  (void)out.SetString("Negotiated SSL parameters: ");
  const SecurityFunctionTable& table = SecurityFunctions();
  if (table.query_context_attributes == nullptr) {
    return socket.SetErrorText(kSecurityLibraryMissing, kTextSecurityLibraryMissing);
  }
  plat::SecPkgContext_ConnectionInfo info{};
  SecurityHandle handle = context;
  if (table.query_context_attributes(&handle, plat::kSecpkgAttrConnectionInfo, &info) != 0) {
    (void)out.AppendCString("Connection info not available.");
    return 1;
  }
  SocketTlsState& state = socket.TlsState();
  NameOf(kProtocolNames, info.protocol, state.protocol_name);
  NameOf(kCipherNames, info.cipher, state.cipher_name);
  state.cipher_strength = static_cast<int32_t>(info.cipher_strength);
  NameOf(kExchangeNames, info.exchange, state.key_exchange_name);
  state.key_exchange_strength = static_cast<int32_t>(info.exchange_strength);

  const char* hash_text = nullptr;
  int32_t hash_strength = static_cast<int32_t>(info.hash_strength);
  int32_t default_strength = 0;
  for (const HashRow& row : kHashes) {
    if (row.id == info.hash) {
      hash_text = row.text;
      default_strength = row.default_strength;
    }
  }
  if (hash_strength == 0) hash_strength = default_strength;

  (void)out.AppendFormat("Protocol: %s Cipher: %s Cipher strength: %d ", state.protocol_name.Data(),
                         state.cipher_name.Data(), state.cipher_strength);
  if (hash_text != nullptr) {
    (void)out.AppendCString(hash_text);
  } else {
    (void)out.AppendFormat("Hash: 0x%x ", info.hash);
  }
  (void)out.AppendFormat("Hash strength: %d Key exchange: %s Key exchange strength: %d ", hash_strength,
                         state.key_exchange_name.Data(), state.key_exchange_strength);
  return 0;
}

}  // namespace velmora::component
