// AlgorithmIdentifier and SubjectPublicKeyInfo: openssl-made keys and certificates read to the numbers
// asn1crypto reads, written back byte for byte as openssl writes them, and the corpus round-tripped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "asn1/algorithm_identifier.h"
#include "component/component_base.h"
#include "pki/subject_public_key_info.h"
#include "tests/pki/pki_test_support.h"

namespace velmora::pki::testing {
namespace {

// Numbers prints a key record as the oracle's "spki" mode does: the kind, then hex integers.
std::string Numbers(const crypto::KeyRecord& k) {
  const auto hexes = [](std::initializer_list<const core::BufferCore*> numbers) {
    std::string line;
    for (const core::BufferCore* number : numbers) {
      const std::string hex = Hex(Bytes(*number));
      line += " " + hex.substr(std::min(hex.find_first_not_of('0'), hex.size() - 1));
    }
    return line;
  };
  if (k.Type == crypto::kKeyRsa) return "RSA" + hexes({&k.RsaParams.Modulus, &k.RsaParams.Exponent});
  if (k.Type == crypto::kKeyDsa) return "DSA" + hexes({&k.DsaParams.P, &k.DsaParams.Q, &k.DsaParams.G, &k.DsaParams.Y});
  if (k.Type == crypto::kKeyEc) return "EC" + hexes({&k.EcParams.X, &k.EcParams.Y});
  return "RAW" + hexes({&k.EdParams.PublicKey});
}

// PublicDer runs a command that prints a PEM key and returns its SubjectPublicKeyInfo DER (also in dir/spki).
std::string PublicDer(const std::string& make, const ScratchDir& dir) {
  std::string der;
  const std::string pubin = make.find("-pubin") != std::string::npos ? " -pubin" : "";
  RunCommand("(" + make + ") 2>/dev/null | openssl pkey" + pubin + " -pubout -outform DER -out " + dir / "spki", &der);
  return dir.Read("spki");
}

const std::string kGenEc = "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:";

std::string EncodeId(const AlgorithmIdentifier& id, bool parameters_wanted) {
  core::Buffer out;
  EXPECT_EQ(id.Encode(out, parameters_wanted), 0);
  return Hex(Bytes(out));
}

TEST(AlgorithmIdentifierCodec, EdgeCasesAndFreshDecode) {
  AlgorithmIdentifier id;
  const std::string sha256_rsa = Unhex("300D06092A864886F70D01010B0500"), bare = Unhex("300B06092A864886F70D01010B");
  // RSASSA-PSS without parameters takes the defaults; a later identifier keeps neither them nor NULL.
  ASSERT_EQ(id.Decode(Held(Unhex("300B06092A864886F70D01010A"))), 0);
  ASSERT_NE(id.pss, nullptr);
  EXPECT_EQ(Bytes(id.pss->hashAlgorithm.oid) + " " + Bytes(id.pss->maskGenAlgorithm),
            "1.3.14.3.2.26 1.2.840.113549.1.1.8");
  EXPECT_EQ(std::make_tuple(id.pss->saltLength, id.pss->trailerField), std::make_tuple(20, 1));
  ASSERT_EQ(id.Decode(Held(sha256_rsa)), 0);
  EXPECT_EQ(Bytes(id.oid) + " " + Hex(Bytes(id.parameters)), "1.2.840.113549.1.1.11 0500");
  ASSERT_EQ(id.Decode(Held(bare)), 0);
  EXPECT_EQ(id.pss, nullptr);
  EXPECT_TRUE(id.parameters.IsEmpty());
  EXPECT_EQ(EncodeId(id, false), Hex(bare));
  EXPECT_EQ(EncodeId(id, true), Hex(sha256_rsa));
  // ECDSA and Ed25519 identifiers keep their parameters absent even when parameters are wanted.
  for (const std::string absent : {"300A06082A8648CE3D040302", "300506032B6570"}) {
    ASSERT_EQ(id.Decode(Held(Unhex(absent))), 0);
    EXPECT_EQ(EncodeId(id, true), absent);
  }
  EXPECT_EQ(id.Decode(Held(Unhex("3000"))), 447);
}

// Every signature and key identifier of the corpus and of an openssl-made RSASSA-PSS certificate decodes
// and encodes back (parameterless ones may gain NULL), PSS parameters as asn1crypto reads them, in a copy
// that owns its record; every key decodes, and is counted when it is written back byte for byte.
TEST(AlgorithmIdentifierCodec, CorpusIdentifiersAndKeysRoundTrip) {
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 missing";
  ScratchDir dir;
  ASSERT_TRUE(Runs(("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=pss -keyout " + dir / "k" + " -out " +
                    dir / "pss.pem" + " -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32 -sha256 2>/dev/null")
                       .c_str()));
  std::string output;
  ASSERT_TRUE(Oracle("algs " + dir / "pss.pem" + CorpusFiles(), &output));
  int identifiers = 0, pss = 0, rsa_gained_null = 0, gained_null = 0, keys = 0, keys_read = 0, keys_rewritten = 0;
  for (const auto& line : testing_support::Lines(output)) {
    const std::string der = Unhex(line.at(1));
    if (line[0] == "A") {
      ++identifiers;
      AlgorithmIdentifier id, copy;
      ASSERT_EQ(id.Decode(Held(der)), 0) << line[1];
      const std::string out = EncodeId(id, true);
      const std::string with_null = der.substr(0, 1) + static_cast<char>(der[1] + 2) + der.substr(2) + '\x05' + '\x00';
      EXPECT_TRUE(out == Hex(der) || (id.parameters.IsEmpty() && out == Hex(with_null))) << line[1] << " gave " << out;
      (Bytes(id.oid).rfind("1.2.840.113549.1.1.", 0) == 0 ? rsa_gained_null : gained_null) += out != Hex(der);
      ASSERT_EQ(copy.CopyFrom(id), 0);
      id.pss.reset();
      if (line.size() > 2) {
        ++pss;
        ASSERT_NE(copy.pss, nullptr) << line[1];
        // asn1crypto fills in the MGF1 hash's SHA-1 default; the record leaves it empty when absent.
        const auto& p = *copy.pss;
        const std::string mgf_hash = p.maskGenHash.oid.IsEmpty() ? "1.3.14.3.2.26" : Bytes(p.maskGenHash.oid);
        EXPECT_EQ(Bytes(p.hashAlgorithm.oid) + " " + mgf_hash + " " + std::to_string(p.saltLength),
                  line.at(2) + " " + line.at(3) + " " + line.at(4));
      }
      continue;
    }
    ++keys;
    SubjectPublicKey key;
    const int rc = DecodePublicKeyFromSpki(Held(der), key);
    EXPECT_TRUE(rc == 0 || rc == -1 || rc == 446 || rc == 1401) << line[1] << " gave " << rc;
    if (rc != 0 || key.key.Type == crypto::kKeyNone) continue;
    ++keys_read;
    DerWriter written;
    keys_rewritten += EncodeSubjectPublicKeyInfo(key.key, written) == 0 && Bytes(written) == der;
  }
  std::printf(
      "%d identifiers (%d RSASSA-PSS; without parameters, %d RSA and %d others gained NULL); %d keys, %d "
      "read, %d written back byte for byte\n",
      identifiers, pss, rsa_gained_null, gained_null, keys, keys_read, keys_rewritten);
}

TEST(SubjectPublicKeyInfoCodec, OpensslKeysReadAndWrittenBack) {
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 missing";
  ScratchDir dir;
  // The command, the EC or Edwards key type it gives (-1 for RSA and DSA), and whether it writes back.
  std::vector<std::tuple<std::string, int32_t, bool>> cases = {
      {"openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048", -1, true},
      {"openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072", -1, true},
      {"openssl genpkey -paramfile " VELMORA_TEST_DATA_DIR "/pki/dsa_params.pem", -1, true},
      {"openssl pkey -pubin -in " VELMORA_TEST_DATA_DIR "/pki/p256_x_leading_zero.pem", 0, true}};
  for (const auto& [curve, type] :
       {std::pair<std::string, int32_t>{"P-256", 0}, {"P-384", 1}, {"P-521", 2}, {"secp256k1", 10}}) {
    cases.emplace_back(kGenEc + curve, type, true);
    cases.emplace_back(kGenEc + curve + " -pkeyopt ec_param_enc:explicit", type, false);
  }
  for (const auto& [name, type] :
       {std::pair<std::string, int32_t>{"Ed25519", 3}, {"Ed448", 4}, {"X25519", 5}, {"X448", 6}}) {
    cases.emplace_back("openssl genpkey -algorithm " + name, type, type < 5);
  }
  for (const auto& [make, type, writes] : cases) {
    const std::string der = PublicDer(make, dir);
    std::string oracle;
    ASSERT_TRUE(!der.empty() && Oracle("spki " + dir / "spki", &oracle)) << make;
    SubjectPublicKey key;
    ASSERT_EQ(DecodePublicKeyFromSpki(Held(der), key), 0) << make;
    const crypto::KeyRecord& k = key.key;
    EXPECT_EQ(Numbers(k) + "\n", oracle) << make;
    EXPECT_EQ(type < 0 ? type : k.Type == crypto::kKeyEc ? k.EcParams.KeyType : k.EdParams.KeyType, type) << make;
    DerWriter written;
    const int rc = EncodeSubjectPublicKeyInfo(key.key, written);
    EXPECT_TRUE(!writes || Bytes(written) == der) << make << " gave " << rc << ": " << Hex(Bytes(written));
    EXPECT_TRUE((type != 5 && type != 6) || rc == -1) << make << " gave " << rc;  // X25519 and X448 are not written
  }
}

TEST(SubjectPublicKeyInfoCodec, RefusedAndUnknownKeys) {
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl missing";
  ScratchDir dir;
  // Explicit brainpoolP256r1 parameters name none of the curves that explicit parameters may stand for.
  SubjectPublicKey key;
  EXPECT_EQ(
      DecodePublicKeyFromSpki(Held(PublicDer(kGenEc + "brainpoolP256r1 -pkeyopt ec_param_enc:explicit", dir)), key),
      446);

  // A P-256 key changed so: NULL (implicitlyCA) parameters; the point cut short; one byte of Y
  // changed, as an uncompressed and as a hybrid point. Each is refused and the key left as it was.
  const std::string p256 = PublicDer(kGenEc + "P-256", dir);
  ASSERT_EQ(p256.size(), 91u);
  std::string implicit_ca = p256.substr(0, 13) + std::string("\x05\x00", 2) + p256.substr(23);
  implicit_ca[1] = static_cast<char>(p256[1] - 8);
  implicit_ca[3] = static_cast<char>(p256[3] - 8);
  std::string short_point = p256.substr(0, 90);
  short_point[1] = static_cast<char>(p256[1] - 1);
  short_point[24] = static_cast<char>(p256[24] - 1);
  std::string off_curve = p256;
  off_curve[90] = static_cast<char>(off_curve[90] ^ 1);
  std::string hybrid = p256, hybrid_off_curve = off_curve;
  hybrid[26] = static_cast<char>(6 | (p256[90] & 1));
  hybrid_off_curve[26] = hybrid[26];
  SubjectPublicKey held;
  ASSERT_EQ(DecodePublicKeyFromSpki(Held(hybrid), held), 0);
  ASSERT_EQ(DecodePublicKeyFromSpki(Held(p256), held), 0);
  for (const auto& [bad, code] :
       {std::pair{implicit_ca, 446}, {short_point, 1401}, {off_curve, 1401}, {hybrid_off_curve, 1401}}) {
    SubjectPublicKey target;
    ASSERT_EQ(target.key.CopyFrom(held.key), 0);
    target.key.EcParams.KeyType = 1;
    EXPECT_EQ(DecodePublicKeyFromSpki(Held(bad), target), code) << Hex(bad);
    EXPECT_FALSE(
        Runs(("openssl pkey -pubin -inform DER -noout -in " + dir.Write("bad", bad) + " 2>/dev/null").c_str()));
    EXPECT_EQ(target.key.EcParams.KeyType, 1);
    EXPECT_EQ(Bytes(target.key.EcParams.X) + Bytes(target.key.EcParams.Y), p256.substr(27));
  }

  // The vectors' certificates with an unknown key algorithm (key untouched) and with explicit P-256.
  const std::string vectors = "/usr/lib/python3/dist-packages/cryptography_vectors/x509/custom/";
  for (const auto& [file, type] : {std::pair{"unsupported_subject_public_key_info.pem", crypto::kKeyNone},
                                   {"ec_no_named_curve.pem", crypto::kKeyEc}}) {
    std::string algs;
    if (!DebianPythonAvailable() || !Oracle("algs " + vectors + file, &algs)) continue;
    ASSERT_EQ(DecodePublicKeyFromSpki(Held(Unhex(testing_support::Lines(algs).at(2).at(1))), key), 0) << file;
    EXPECT_EQ(key.key.Type, type) << file;
    EXPECT_EQ(key.key.EcParams.KeyType, 0) << file;
  }

  // Three elements: refused, with the component's last error text; two give the key's bits.
  component::ComponentBase component;
  core::Buffer bits;
  EXPECT_EQ(ParseSubjectPublicKeyInfo(component, Held("\x30\x5B" + p256.substr(2) + std::string("\x05\x00", 2)), bits),
            446);
  EXPECT_EQ(Bytes(component.LastErrorText()), "Invalid SubjectPublicKeyInfo ASN.1 structure");
  ASSERT_EQ(ParseSubjectPublicKeyInfo(component, Held(p256), bits), 0);
  EXPECT_EQ(Bytes(bits), p256.substr(26));

  crypto::KeyRecord none;
  DerWriter written;
  ASSERT_EQ(EncodeSubjectPublicKeyInfo(none, written), 0);
  EXPECT_EQ(Hex(Bytes(written)), "3000");
}

}  // namespace
}  // namespace velmora::pki::testing
