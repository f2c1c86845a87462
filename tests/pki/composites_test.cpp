// The composite records: PKCS #6 extended certificates against asn1crypto, the certificate choice, the
// deep copies and clones of every record kind (independent of their source, and under failing
// allocations), and the list operations.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "pki/cert_composites.h"
#include "pki/certificate_codec.h"
#include "tests/pki/pki_test_support.h"
#include "tests/test_support.h"

namespace velmora::pki::testing {
namespace {

using testing_support::FailingAllocations;

// ExtendedCertificates: (label, DER) of the committed extended certificates.
std::vector<std::pair<std::string, std::string>> ExtendedCertificates() {
  std::vector<std::pair<std::string, std::string>> rows;
  std::ifstream in(VELMORA_TEST_DATA_DIR "/pki/extended_certs.txt");
  for (std::string label, hex; in >> label;) {
    if (label == "#") {
      std::getline(in, hex);
      continue;
    }
    in >> hex;
    rows.emplace_back(label, Unhex(hex));
  }
  return rows;
}

std::string HexOf(const core::BufferCore& b) { return Hex(Bytes(b)); }

// Encoded is the DER a record's encoder writes, or "encoder <code>".
template <typename T>
std::string Encoded(T& record) {
  DerWriter writer;
  int rc;
  if constexpr (std::is_same_v<T, Certificate>) {
    rc = EncodeCertificate(record, writer);
  } else if constexpr (std::is_same_v<T, AlgorithmIdentifier>) {
    rc = record.Encode(writer, true);
  } else {
    rc = record.Encode(writer);
  }
  return rc == 0 ? HexOf(writer) : "encoder " + std::to_string(rc);
}

// Describe gives every field of a record (and its encoding where it has one) as text.
std::string Describe(AlgorithmIdentifier& a) {
  return Bytes(a.oid) + " " + HexOf(a.parameters) + (a.pss ? " pss " + std::to_string(a.pss->saltLength) : "") + " " +
         Encoded(a);
}
std::string Describe(CertExtension& e) {
  return Bytes(e.oid) + " " + std::to_string(e.critical) + " " + HexOf(e.value) + " " + Encoded(e);
}
std::string Describe(core::StrList& list) {
  std::string text;
  for (int32_t i = 0; i < list.Count(); ++i) text += Hex(std::string(list.Item(i), list.ItemLength(i))) + ",";
  return text;
}
std::string Describe(KeyRecord& k) {
  const crypto::RsaKeyParams& r = k.RsaParams;
  return std::to_string(k.Type) + " " + HexOf(r.Modulus) + " " + HexOf(r.Exponent) + " " + HexOf(r.D) + " " +
         HexOf(k.EcParams.X) + " " + Describe(k.AttributeNames) + " " + Describe(k.AttributeValues);
}
std::string Describe(Certificate& c);
template <typename T>
std::string DescribeList(core::PtrArray<T>& list) {
  std::string text = std::to_string(list.Count());
  for (int32_t i = 0; i < list.Count(); ++i) text += " [" + (list.Get(i) ? Describe(*list.Get(i)) : "null") + "]";
  return text;
}
std::string Describe(Certificate& c) {
  const TbsCertificate& t = c.tbs;
  return HexOf(c.der) + " " + HexOf(c.tbsDer) + " " + std::to_string(t.version) + " " + HexOf(t.serialNumber) + " " +
         Bytes(t.serialHex) + " " + Describe(c.tbs.signature) + " " + Bytes(t.issuer) + " " + HexOf(t.issuerDer) + " " +
         Bytes(t.notBefore) + Bytes(t.notAfter) + " " + Bytes(t.subject) + " " + HexOf(t.subjectDer) + " " +
         HexOf(t.spkiDer) + " " + Describe(c.tbs.publicKey.algorithm) + " " + Describe(c.tbs.publicKey.key) + " " +
         DescribeList(c.tbs.extensions) + " " + Describe(c.signatureAlgorithm) + " " + HexOf(c.signature) + " " +
         Encoded(c);
}
std::string Describe(ExtendedCertificate& e) {
  return std::to_string(e.version) + " " + Describe(e.certificate) + " " + DescribeList(e.attributes) + " " +
         Describe(e.signatureAlgorithm) + " " + HexOf(e.signature) + " " + Encoded(e);
}
std::string Describe(CertificateChoice& c) {
  return Describe(c.certificate) + " " + Describe(c.extended) + " " + Encoded(c);
}
std::string Describe(CertificateWithKey& c) {
  return Describe(c.certificate) + " " + Describe(c.key) + " " + Describe(c.attributeNames) + " " +
         Describe(c.attributeValues);
}
std::string Describe(KeyWithCertificates& k) { return Describe(k.key) + " " + DescribeList(k.certificates); }
std::string Describe(KeyCertificatePair& p) { return Describe(p.key) + " " + Describe(p.certificate); }
std::string Describe(KeyEntry& e) { return std::to_string(e.Id) + " " + Bytes(e.Name) + " " + Describe(e.Key); }
std::string Describe(IndexEntry& e) {
  return std::to_string(reinterpret_cast<uintptr_t>(e.record)) + " " + std::to_string(e.first) + " " +
         std::to_string(e.second);
}

class Composites : public ::testing::Test {
 public:
  void SetUp() override {
    rows_ = ExtendedCertificates();
    ASSERT_EQ(rows_.size(), 6u);
    ASSERT_EQ(Decoded("rsa-two", rsa_), 0);
    ASSERT_EQ(Decoded("ec-one", ec_), 0);
  }

  int Decoded(const std::string& label, ExtendedCertificate& target) {
    for (const auto& [name, der] : rows_) {
      if (name == label) return target.Decode(reinterpret_cast<const uint8_t*>(der.data()), static_cast<int32_t>(der.size()));
    }
    return -2;
  }

  // FillCertificate gives target a certificate with its full outer algorithm and extensions: which 0
  // the RSA one, 1 the P-256 one.
  void FillCertificate(Certificate& target, int which) {
    ASSERT_EQ(target.der.Assign((which == 0 ? rsa_ : ec_).certificate.der), 0);
    ASSERT_EQ(DecodeStoredCertificate(target), 0);
    CertExtension* extra = AddNew(target.tbs.extensions);
    ASSERT_NE(extra, nullptr);
    ASSERT_EQ(extra->oid.SetString("1.2.3.4"), 0);
    extra->critical = 1;
    ASSERT_EQ(extra->value.SetData(2, "\x05\x00"), 0);
  }

  void FillKey(KeyRecord& key, int which) {
    ASSERT_EQ(key.CopyFrom((which == 0 ? rsa_ : ec_).certificate.tbs.publicKey.key), 0);
    ASSERT_EQ(key.RsaParams.D.SetData(3, "\x01\x02\x03"), 0);
    ASSERT_EQ(key.AddAttribute("friendly", which == 0 ? "rsa" : "ec"), 0);
  }

  std::vector<std::pair<std::string, std::string>> rows_;
  ExtendedCertificate rsa_, ec_;
};

TEST_F(Composites, ExtendedCertificatesRoundTripAndMatchAsn1crypto) {
  ScratchDir dir;
  std::string ours, theirs;
  for (const auto& [label, der] : rows_) {
    SCOPED_TRACE(label);
    ExtendedCertificate e;
    ASSERT_EQ(e.Decode(reinterpret_cast<const uint8_t*>(der.data()), static_cast<int32_t>(der.size())), 0);
    const std::string encoded = Encoded(e);
    EXPECT_EQ(encoded, Hex(der));
    ours += label + " " + encoded + "\n";
    std::string attributes;
    for (int32_t i = 0; i < e.attributes.Count(); ++i) {
      attributes += (i ? ";" : "") + Bytes(e.attributes.Get(i)->oid) + "=" + HexOf(e.attributes.Get(i)->value);
    }
    theirs += label + "|" + std::to_string(e.version) + "|" + HexOf(e.certificate.der) + "|" +
              (attributes.empty() ? "-" : attributes) + "|" + Bytes(e.signatureAlgorithm.oid) + "|" +
              HexOf(e.signatureAlgorithm.parameters) + "|" + HexOf(e.signature) + "\n";
    // An empty attribute list is still written, as an empty SET closing the info.
    DerWriter info;
    ASSERT_EQ(e.EncodeInfo(info), 0);
    if (label.ends_with("none")) {
      EXPECT_TRUE(Bytes(info).ends_with(std::string("\x31\x00", 2)));
    }
  }
  std::string output;
  if (!RunCommand(std::string(kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/pki/composites_oracle.py extended " +
                      dir.Write("ours.txt", ours),
                  &output)) {
    GTEST_SKIP() << "Debian's python3 with asn1crypto is not available";
  }
  EXPECT_EQ(output, theirs);
}

TEST_F(Composites, MalformedExtendedCertificatesGiveTheirCodes) {
  // An info of two elements, the full structure of three, and an outer element of two.
  DerWriter two, outer;
  ASSERT_EQ(two.BeginElement(0x30), 0);
  ASSERT_EQ(two.BeginElement(0x30), 0);
  ASSERT_EQ(two.AppendSmallInteger(0, 0x02), 0);
  ASSERT_EQ(EncodeCertificate(rsa_.certificate, two), 0);
  ASSERT_EQ(two.EndElement(0), 0);
  ASSERT_EQ(rsa_.signatureAlgorithm.Encode(two, true), 0);
  ASSERT_EQ(two.AppendBitString("\x01", 1, 0x03), 0);
  ASSERT_EQ(two.EndElement(0), 0);
  ExtendedCertificate target;
  EXPECT_EQ(target.Decode(two.Bytes(), two.Length()), 447);
  ASSERT_EQ(outer.BeginElement(0x30), 0);
  ASSERT_EQ(rsa_.EncodeInfo(outer), 0);
  ASSERT_EQ(rsa_.signatureAlgorithm.Encode(outer, true), 0);
  ASSERT_EQ(outer.EndElement(0), 0);
  EXPECT_EQ(target.Decode(outer.Bytes(), outer.Length()), 447);
  EXPECT_EQ(target.Decode(nullptr, 0), 447);
}

TEST_F(Composites, CertificateChoiceWritesTheSignedMember) {
  CertificateChoice choice;
  EXPECT_EQ(Encoded(choice), "-");
  ASSERT_EQ(CopyRecord(choice.extended, rsa_), 0);
  EXPECT_EQ(Encoded(choice), Encoded(rsa_));
  ASSERT_EQ(CopyCertificate(choice.certificate, ec_.certificate), 0);
  EXPECT_EQ(Encoded(choice), HexOf(ec_.certificate.der));
}

// Kind is one row of the copy table: CheckCopies on its record type with a filler whose two variants
// (0 and 1) give different contents.
struct Kind {
  std::string name;
  std::function<void(Composites*)> check;
};

// CheckCopies: a copy and a clone of a filled record keep its description after the source is refilled
// and destroyed; with each allocation in turn failing, a copy ends in 0 or 200 and a clone is null or
// whole, and nothing leaks.
template <typename T>
void CheckCopies(const std::function<void(T&, int)>& fill) {
  auto source = Clone(T());
  ASSERT_NE(source, nullptr);
  fill(*source, 0);
  const std::string snapshot = Describe(*source);
  T copy;
  ASSERT_EQ(CopyRecord(copy, *source), 0);
  auto clone = Clone(*source);
  ASSERT_NE(clone, nullptr);
  fill(*source, 1);
  EXPECT_NE(Describe(*source), snapshot);
  source.reset();
  EXPECT_EQ(Describe(copy), snapshot);
  EXPECT_EQ(Describe(*clone), snapshot);
  for (int successes = 0;; ++successes) {
    T failing_copy;
    int rc;
    RecordPtr<T> failing_clone;
    {
      FailingAllocations fail(successes);
      rc = CopyRecord(failing_copy, *clone);
      failing_clone = Clone(*clone);
    }
    ASSERT_TRUE(rc == 0 || rc == 200) << rc;
    if (failing_clone != nullptr) {
      EXPECT_EQ(Describe(*failing_clone), snapshot);
    }
    if (rc == 0) {
      EXPECT_EQ(Describe(failing_copy), snapshot);
      if (failing_clone != nullptr) break;
    }
    ASSERT_LT(successes, 10000);
  }
}

TEST_F(Composites, CopiesAndClonesAreIndependentOfTheirSource) {
  const std::vector<Kind> kinds = {
      {"AlgorithmIdentifier", [](Composites* t) {
         CheckCopies<AlgorithmIdentifier>([t](AlgorithmIdentifier& a, int w) {
           ASSERT_EQ(a.CopyFrom((w == 0 ? t->rsa_ : t->ec_).signatureAlgorithm), 0);
         });
       }},
      {"CertExtension", [](Composites* t) {
         CheckCopies<CertExtension>([t](CertExtension& e, int w) {
           ASSERT_EQ(e.Assign(*(w == 0 ? t->rsa_ : t->ec_).attributes.Get(0)), 0);
           e.critical = w;
         });
       }},
      {"Certificate", [](Composites* t) { CheckCopies<Certificate>([t](Certificate& c, int w) { t->FillCertificate(c, w); }); }},
      {"KeyRecord", [](Composites* t) { CheckCopies<KeyRecord>([t](KeyRecord& k, int w) { t->FillKey(k, w); }); }},
      {"ExtendedCertificate", [](Composites* t) {
         CheckCopies<ExtendedCertificate>([t](ExtendedCertificate& e, int w) {
           ASSERT_EQ(CopyRecord(e, w == 0 ? t->rsa_ : t->ec_), 0);
           e.version = w + 7;
         });
       }},
      {"CertificateChoice", [](Composites* t) {
         CheckCopies<CertificateChoice>([t](CertificateChoice& c, int w) {
           t->FillCertificate(c.certificate, w);
           ASSERT_EQ(CopyRecord(c.extended, w == 0 ? t->ec_ : t->rsa_), 0);
         });
       }},
      {"CertificateWithKey", [](Composites* t) {
         CheckCopies<CertificateWithKey>([t](CertificateWithKey& c, int w) {
           t->FillCertificate(c.certificate, w);
           t->FillKey(c.key, w);
           ASSERT_EQ(c.AddAttribute(w == 0 ? "name" : "other", Held("value\x01")), 0);
         });
       }},
      {"KeyWithCertificates", [](Composites* t) {
         CheckCopies<KeyWithCertificates>([t](KeyWithCertificates& k, int w) {
           t->FillKey(k.key, w);
           (void)k.certificates.Clear();
           for (int i = 0; i < 3 + 2 * w; ++i) t->FillCertificate(*AddNew(k.certificates), (i + w) % 2);
         });
       }},
      {"KeyCertificatePair", [](Composites* t) {
         CheckCopies<KeyCertificatePair>([t](KeyCertificatePair& p, int w) {
           t->FillKey(p.key, w);
           t->FillCertificate(p.certificate, w);
         });
       }},
      {"KeyEntry", [](Composites* t) {
         CheckCopies<KeyEntry>([t](KeyEntry& e, int w) {
           e.Id = 0xFFFFFFF0u + static_cast<uint32_t>(w);
           ASSERT_EQ(e.Name.SetString(w == 0 ? "first" : "second"), 0);
           t->FillKey(e.Key, w);
         });
       }},
      {"IndexEntry", [](Composites* t) {
         CheckCopies<IndexEntry>([t](IndexEntry& e, int w) {
           e.record = w == 0 ? static_cast<const void*>(&t->rsa_) : &t->ec_;
           e.first = w - 1;
           e.second = INT32_MAX - w;
         });
       }},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    kind.check(this);
  }
}

TEST_F(Composites, ListOperations) {
  // A copy of three certificates into a record of five leaves three.
  KeyWithCertificates three, five;
  for (int i = 0; i < 5; ++i) FillCertificate(*AddNew(five.certificates), 1);
  for (int i = 0; i < 3; ++i) FillCertificate(*AddNew(three.certificates), 0);
  ASSERT_EQ(CopyRecord(five, three), 0);
  EXPECT_EQ(DescribeList(five.certificates), DescribeList(three.certificates));
  // A copy that runs out of memory keeps the certificates it completed, in order.
  for (int successes = 0;; successes += 7) {
    KeyWithCertificates partial;
    int rc;
    {
      FailingAllocations fail(successes);
      rc = CopyRecord(partial, three);
    }
    ASSERT_TRUE(rc == 0 || rc == 200);
    ASSERT_LE(partial.certificates.Count(), 3);
    for (int32_t i = 0; i + 1 < partial.certificates.Count(); ++i) {
      EXPECT_EQ(Describe(*partial.certificates.Get(i)), Describe(*three.certificates.Get(i)));
    }
    if (rc == 0) break;
  }

  // The list assignment fills a null source slot with an empty element before copying it.
  CertExtensionList source, target;
  ASSERT_EQ(source.SetCount(2), 0);
  ASSERT_EQ(source.GetOrCreate(0)->oid.SetString("1.2.3"), 0);
  ASSERT_EQ(AssignList(target, source), 0);
  ASSERT_NE(source.Get(1), nullptr);
  EXPECT_EQ(DescribeList(target), DescribeList(source));

  // Add-new returns the appended element, null (and the list unchanged) when it cannot be made.
  CertificateList list;
  Certificate* added = AddNew(list);
  EXPECT_TRUE(added != nullptr && list.Get(0) == added && list.Count() == 1);
  {
    FailingAllocations fail;
    EXPECT_EQ(AddNew(list), nullptr);
  }
  EXPECT_EQ(list.Count(), 1);

  // The first certificate of a key's chain is made in a null slot; an empty chain has none.
  KeyWithCertificates chain;
  EXPECT_EQ(chain.FirstCertificate(), nullptr);
  ASSERT_EQ(chain.certificates.SetCount(1), 0);
  EXPECT_TRUE(chain.FirstCertificate() != nullptr && chain.FirstCertificate() == chain.certificates.Get(0));

  // Attribute names and values stay paired through copies.
  CertificateWithKey with_key;
  for (int i = 0; i < 25; ++i) {
    ASSERT_EQ(with_key.AddAttribute(("name" + std::to_string(i)).c_str(), Held("value" + std::to_string(i))), 0);
  }
  auto clone = Clone(with_key);
  ASSERT_NE(clone, nullptr);
  ASSERT_EQ(clone->attributeNames.Count(), 25);
  for (int i = 0; i < 25; ++i) {
    EXPECT_EQ(std::string(clone->attributeNames.Item(i)), "name" + std::to_string(i));
    EXPECT_EQ(std::string(clone->attributeValues.Item(i), clone->attributeValues.ItemLength(i)), "value" + std::to_string(i));
  }
}

}  // namespace
}  // namespace velmora::pki::testing
