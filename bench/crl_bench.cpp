// A revocation list of range(0) entries (100,000 and 1,000,000, to see the cost grow linearly), made and
// signed with libcrypto, decoded and searched for one serial: CertificateRevocationList::Decode with a
// scan of revokedSerials, next to d2i_X509_CRL with X509_CRL_get0_by_serial and X509_CRL_free on the
// same bytes. The serial looked up is the last one written; "per_entry" is the time of one entry.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "pki/crl.h"

namespace {

constexpr long kFirstSerial = 0x7a000000;

// List is a signed CRL's DER and the hex of its last serial.
struct List {
  std::string der;
  std::string last_serial_hex;
};

const List& MakeList(int64_t entries) {
  static std::map<int64_t, List> made;
  if (auto found = made.find(entries); found != made.end()) return found->second;
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509_CRL* crl = X509_CRL_new();
  X509_NAME* issuer = X509_NAME_new();
  X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Bench CA"), -1, -1,
                             0);
  ASN1_TIME* now = ASN1_TIME_set(nullptr, 1700000000);
  ASN1_TIME* next = ASN1_TIME_set(nullptr, 1700000000 + 86400 * 30);
  if (key == nullptr || X509_CRL_set_version(crl, 1) != 1 || X509_CRL_set_issuer_name(crl, issuer) != 1 ||
      X509_CRL_set1_lastUpdate(crl, now) != 1 || X509_CRL_set1_nextUpdate(crl, next) != 1) {
    std::fprintf(stderr, "cannot make the CRL\n");
    std::abort();
  }
  for (int64_t i = 0; i < entries; ++i) {
    X509_REVOKED* entry = X509_REVOKED_new();
    ASN1_INTEGER* serial = ASN1_INTEGER_new();
    ASN1_INTEGER_set(serial, kFirstSerial + static_cast<long>(i));
    X509_REVOKED_set_serialNumber(entry, serial);
    X509_REVOKED_set_revocationDate(entry, now);
    X509_CRL_add0_revoked(crl, entry);
    ASN1_INTEGER_free(serial);
  }
  if (X509_CRL_sign(crl, key, EVP_sha256()) <= 0) std::abort();
  unsigned char* bytes = nullptr;
  const int length = i2d_X509_CRL(crl, &bytes);
  List& list = made[entries];
  list.der.assign(reinterpret_cast<char*>(bytes), static_cast<size_t>(length));
  char hex[32];
  std::snprintf(hex, sizeof hex, "%lx", kFirstSerial + static_cast<long>(entries - 1));
  list.last_serial_hex = hex;
  OPENSSL_free(bytes);
  ASN1_TIME_free(now);
  ASN1_TIME_free(next);
  X509_NAME_free(issuer);
  X509_CRL_free(crl);
  EVP_PKEY_free(key);
  return list;
}

void Count(benchmark::State& state) {
  state.counters["per_entry"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                   benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

void BM_DecodeAndLookUp(benchmark::State& state) {
  const List& list = MakeList(state.range(0));
  const auto* bytes = reinterpret_cast<const uint8_t*>(list.der.data());
  const char* wanted = list.last_serial_hex.c_str();
  for (auto _ : state) {
    velmora::pki::CertificateRevocationList crl;
    if (crl.Decode(bytes, static_cast<int32_t>(list.der.size())) != 0) state.SkipWithError("decode");
    int32_t found = -1;
    for (int32_t i = 0; i < crl.revokedSerials.Count() && found < 0; ++i) {
      if (std::strcmp(crl.revokedSerials.ItemText(i), wanted) == 0) found = i;
    }
    if (found < 0) state.SkipWithError("serial not found");
    benchmark::DoNotOptimize(found);
  }
  Count(state);
}

void BM_OpensslDecodeAndLookUp(benchmark::State& state) {
  const List& list = MakeList(state.range(0));
  ASN1_INTEGER* wanted = ASN1_INTEGER_new();
  ASN1_INTEGER_set(wanted, kFirstSerial + static_cast<long>(state.range(0) - 1));
  for (auto _ : state) {
    const auto* p = reinterpret_cast<const unsigned char*>(list.der.data());
    X509_CRL* crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(list.der.size()));
    X509_REVOKED* entry = nullptr;
    if (crl == nullptr || X509_CRL_get0_by_serial(crl, &entry, wanted) != 1) state.SkipWithError("openssl");
    benchmark::DoNotOptimize(entry);
    X509_CRL_free(crl);
  }
  ASN1_INTEGER_free(wanted);
  Count(state);
}

BENCHMARK(BM_DecodeAndLookUp)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslDecodeAndLookUp)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
