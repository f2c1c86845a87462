// The RSA paddings and signatures against OpenSSL, both ways: OpenSSL's ciphertexts and signatures
// (and blocks it builds to a given layout) go through our decryption and verification; our
// ciphertexts and signatures go back to `openssl pkeyutl`. v1.5 signatures are deterministic and are
// compared byte for byte.
#include <gtest/gtest.h>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "crypto/objects/key_creation.h"
#include "crypto/rsa/rsa_engine.h"
#include "tests/core/python_oracle.h"
#include "tests/crypto/bn/montgomery_paths.h"

namespace velmora::crypto {
namespace {

using testing_support::FromHex;
using testing_support::Lines;
using testing_support::RunPython;
using testing_support::ToHex;

// Phase "make" creates the keys in a folder and prints it, the keys and OpenSSL's results; phase
// "check" reads our results from stdin, prints "ok" or "bad" for each and removes the folder.
constexpr char kOracle[] = R"PY(
import hashlib, os, random, shutil, subprocess, sys, tempfile
from cryptography.hazmat.primitives import serialization
mode, rnd = sys.argv[1], random.Random(int(sys.argv[2]))
tmp = tempfile.mkdtemp() if mode == "make" else sys.argv[3]
def run(*args, data=None):
    return subprocess.run(args, input=data, check=True, capture_output=True).stdout
def keyfile(bits): return os.path.join(tmp, "%s.pem" % bits)
def rb(n): return bytes(rnd.getrandbits(8) for _ in range(n))
def nz(n): return bytes(rnd.randrange(1, 256) for _ in range(n))
def hx(b): return "x" + b.hex()
def unhex(s): return bytes.fromhex(s[1:])
def opt(*pairs): return [a for p in pairs for a in ("-pkeyopt", p)]
SIZES = {"SHA1": 20, "SHA224": 28, "SHA256": 32, "SHA384": 48, "SHA512": 64, "MD5": 16, "RIPEMD160": 20,
         "MD5SHA1": 36, "RAW": 32}
def md(name): return "sha1" if name == "-" else name.lower().replace("md5sha1", "md5-sha1")
def pad(padding, oaep, mgf, label):
    if padding == "pkcs1": return opt("rsa_padding_mode:pkcs1")
    o = opt("rsa_padding_mode:oaep", "rsa_oaep_md:" + md(oaep), "rsa_mgf1_md:" + md(mgf))
    return o + (opt("rsa_oaep_label:" + label.hex()) if label else [])
def raw_encrypt(bits, block):
    return run("openssl", "pkeyutl", "-encrypt", "-inkey", keyfile(bits), *opt("rsa_padding_mode:none"), data=block)
def raw_sign(bits, data): return run("openssl", "pkeyutl", "-sign", "-inkey", keyfile(bits), data=data)
def mgf1(seed, n, h=hashlib.sha1):
    return b"".join(h(seed + i.to_bytes(4, "big")).digest() for i in range((n + 19) // 20 + 3))[:n]
def xor(a, b): return bytes(x ^ y for x, y in zip(a, b))

if mode == "make":
    print("dir", tmp)
    for bits in (1024, 2048, 3072, 1025, 2047):
        run("openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:%d" % bits, "-out", keyfile(bits))
        with open(keyfile(bits), "rb") as f:
            p = serialization.load_pem_private_key(f.read(), None).private_numbers()
        print("key", bits, *[format(v, "x") for v in (p.public_numbers.n, p.public_numbers.e, p.d, p.p, p.q,
                                                     p.dmp1, p.dmq1, p.iqmp)])
    for bits in (1024, 2048, 3072):
        k = bits // 8
        for padding, oaep, mgf, label in (("pkcs1", "-", "-", b""), ("oaep", "-", "-", b""),
                                          ("oaep", "SHA256", "SHA1", b"a label"), ("oaep", "-", "SHA256", b"L"),
                                          ("oaep", "SHA256", "SHA256", b"")):
            h = 32 if oaep == "SHA256" else 20
            most = k - 11 if padding == "pkcs1" else k - 2 * h - 2
            for n in (most, rnd.randrange(1, most)):
                m = rb(n)
                c = run("openssl", "pkeyutl", "-encrypt", "-inkey", keyfile(bits), *pad(padding, oaep, mgf, label), data=m)
                print("dec", bits, padding, oaep, mgf, hx(label), hx(m), hx(c))
    for bits in (1024, 2048):
        for name, size in SIZES.items():
            d = rb(size)
            o = [] if name == "RAW" else opt("digest:" + md(name))
            print("v15", bits, name, hx(d), hx(run("openssl", "pkeyutl", "-sign", "-inkey", keyfile(bits), *o, data=d)))
    for bits in (1024, 2048, 1025, 2047):
        for name in ("SHA256", "SHA1"):
            for salt in (-1, 0, 20):
                d = rb(SIZES[name])
                o = opt("digest:" + md(name), "rsa_padding_mode:pss", "rsa_pss_saltlen:%d" % salt)
                print("pss", bits, name, salt, hx(d), hx(run("openssl", "pkeyutl", "-sign", "-inkey", keyfile(bits), *o, data=d)))
    # Blocks of given layouts, signed or encrypted without padding by OpenSSL, and what ours must make of them.
    bits, k, d = 2048, 256, rb(32)
    info = run("openssl", "pkeyutl", "-verifyrecover", "-inkey", keyfile(bits),
               data=run("openssl", "pkeyutl", "-sign", "-inkey", keyfile(bits), *opt("digest:sha256"), data=d))
    assert info[15:17] == b"\x05\x00" and info[19:] == d
    no_null = bytes([0x30, info[1] - 2, 0x30, info[3] - 2]) + info[4:15] + info[17:]
    print("nonull", bits, hx(d), hx(raw_sign(bits, no_null)))
    other_oid = info[:14] + bytes([info[14] ^ 0x40]) + info[15:]
    print("otheroid", bits, hx(d), hx(raw_sign(bits, other_oid)))
    d36 = rb(36)
    print("md5sha1byte", bits, hx(d36), hx(raw_sign(bits, b"\x24" + d36)))
    print("rawshort", bits, hx(d), hx(raw_sign(bits, rb(30))))
    for case, status, body in (("type1", 0, b"\x01" + b"\xff" * 8), ("sep8", 1116, b"\x02" + nz(7)),
                               ("sep9", 0, b"\x02" + nz(8)), ("type3", 1116, b"\x03" + nz(8))):
        m = rb(k - 2 - len(body))
        print("v15raw", bits, case, status, hx(m if status == 0 else b""), hx(raw_encrypt(bits, b"\x00" + body + b"\x00" + m)))
    print("v15raw", bits, "empty", 0, hx(b""), hx(raw_encrypt(bits, b"\x00\x02" + nz(k - 3) + b"\x00")))
    print("v15raw", bits, "nosep", 1116, hx(b""), hx(raw_encrypt(bits, b"\x00\x02" + nz(k - 2))))
    print("v15raw", bits, "onebyte", 1116, hx(b""), hx(raw_encrypt(bits, b"\x00" * (k - 1) + b"\x01")))
    for case, status in (("good", 0), ("first", 1114), ("marker", 1114), ("label", 1114)):
        m = rb(40)
        lhash = hashlib.sha1(b"other" if case == "label" else b"").digest()
        db = lhash + bytes(k - 40 - 42) + (b"\x00" if case == "marker" else b"\x01") + m
        seed = rb(20)
        masked_db = xor(db, mgf1(seed, len(db)))
        em = (b"\x01" if case == "first" else b"\x00") + xor(seed, mgf1(masked_db, 20)) + masked_db
        print("oaepraw", bits, case, status, hx(m if status == 0 else b""), hx(raw_encrypt(bits, em)))
else:
    for line in sys.stdin:
        f = line.split()
        kind, bits = f[0], int(f[1])
        try:
            if kind == "enc":
                padding, oaep, mgf, label, m, c = f[2], f[3], f[4], unhex(f[5]), unhex(f[6]), unhex(f[7])
                got = run("openssl", "pkeyutl", "-decrypt", "-inkey", keyfile(bits), *pad(padding, oaep, mgf, label), data=c)
                ok = got == m
            elif kind == "pss":
                name, salt, d, s = f[2], int(f[3]), unhex(f[4]), unhex(f[5])
                sigfile = os.path.join(tmp, "sig")
                with open(sigfile, "wb") as out:
                    out.write(s)
                # The salt length is found from the signature, and for the default checked as the digest length.
                ok = True
                for check in ["auto"] + (["digest"] if salt == -1 else []):
                    o = opt("digest:" + md(name), "rsa_padding_mode:pss", "rsa_pss_saltlen:" + check)
                    r = subprocess.run(["openssl", "pkeyutl", "-verify", "-inkey", keyfile(bits), "-sigfile", sigfile, *o],
                                       input=d, capture_output=True)
                    ok = ok and r.returncode == 0 and b"Verified Successfully" in r.stdout
            elif kind == "layout":
                d, s = unhex(f[2]), unhex(f[3])
                em = run("openssl", "pkeyutl", "-verifyrecover", "-inkey", keyfile(bits), *opt("rsa_padding_mode:none"), data=s)
                ok = em[:2] == b"\x00\x01" and em[2:76] == b"\xff" * 74 and em[76] == 0 and em[77:96].hex().startswith("3031300d") and em[96:] == d
            elif kind == "lhash":
                c, k = unhex(f[2]), bits // 8
                em = run("openssl", "pkeyutl", "-decrypt", "-inkey", keyfile(bits), *opt("rsa_padding_mode:none"), data=c)
                seed = xor(em[1:33], mgf1(em[33:], 32))
                db = xor(em[33:], mgf1(seed, k - 33))
                ok = em[0] == 0 and db[:32] == hashlib.sha256(b"").digest() and db[32:].lstrip(b"\x00")[:1] == b"\x01"
            else:
                ok = False
        except subprocess.CalledProcessError:
            ok = False
        print("ok" if ok else "bad", *f[:5])
    shutil.rmtree(tmp)
)PY";

bool OracleAvailable() {
  return std::system("/usr/bin/python3 -c 'import cryptography' >/dev/null 2>&1") == 0 &&
         std::system("openssl version >/dev/null 2>&1") == 0;
}

std::string Str(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }
std::string Hex(const core::BufferCore& b) { return "x" + ToHex(Str(b)); }
const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
int32_t Len(const std::string& s) { return static_cast<int32_t>(s.size()); }
const char* Name(const std::string& field) { return field == "-" ? nullptr : field.c_str(); }
std::string Flip(std::string s) {
  const auto bit = static_cast<size_t>(std::rand()) % (s.size() * 8);
  s[bit / 8] = static_cast<char>(s[bit / 8] ^ (1 << bit % 8));
  return s;
}

class RsaPaddingOnPath : public MontgomeryPathTest {};

TEST_P(RsaPaddingOnPath, InteroperatesWithOpenSsl) {
  if (!OracleAvailable()) GTEST_SKIP() << "needs openssl and /usr/bin/python3 with python3-cryptography";
  const std::string seed = std::to_string(std::rand());
  std::string made, folder, ours;  // ours: our results for OpenSSL to check
  ASSERT_TRUE(RunPython(kOracle, "make " + seed, "", &made, "/usr/bin/python3"));
  std::map<std::string, std::unique_ptr<RsaEngine>> keys;
  std::map<std::string, int> seen;
  for (const auto& f : Lines(made)) {
    ASSERT_GE(f.size(), 2u);
    if (f[0] == "dir") {
      folder = f[1];
      continue;
    }
    ASSERT_GE(f.size(), 3u);
    const std::string& kind = f[0];
    ++seen[kind];
    SCOPED_TRACE(kind + " " + f[1] + " " + f[2] + " " + (f.size() > 3 ? f[3] : ""));
    if (kind == "key") {
      RsaKeyParams params;
      core::BufferCore* fields[] = {&params.Modulus, &params.Exponent, &params.D,  &params.P,
                                    &params.Q,       &params.DP,       &params.DQ, &params.InverseQ};
      for (size_t i = 0; i < 8; ++i) {
        const std::string bytes = FromHex((f[i + 2].size() % 2 ? "0" : "") + f[i + 2]);
        ASSERT_EQ(fields[i]->SetData(Len(bytes), bytes.data()), 0);
      }
      keys[f[1]] = std::make_unique<RsaEngine>();
      ASSERT_EQ(keys[f[1]]->SetKeyParams(params), 0);
      continue;
    }
    RsaEngine& key = *keys.at(f[1]);
    core::Buffer out, mine;
    int32_t valid = -1;
    if (kind == "dec") {
      // OpenSSL's ciphertext decrypts; our encryption of the same message goes back to OpenSSL.
      const int32_t oaep = f[2] == "oaep" ? 1 : 0;
      const std::string label = FromHex(f[5]), message = FromHex(f[6]), cipher = FromHex(f[7]);
      ASSERT_EQ(key.DecryptByPadding(Bytes(cipher), Len(cipher), out, oaep, Bytes(label), Len(label), Name(f[3]),
                                     Name(f[4])), 0);
      EXPECT_EQ(Str(out), message);
      ASSERT_EQ(key.EncryptByPadding(Bytes(message), Len(message), mine, oaep, Bytes(label), Len(label), Name(f[3]),
                                     Name(f[4])), 0);
      ours += "enc " + f[1] + " " + f[2] + " " + f[3] + " " + f[4] + " " + f[5] + " " + f[6] + " " + Hex(mine) + "\n";
    } else if (kind == "v15") {
      // OpenSSL's signature verifies, with the DigestInfo compared or not; a one-bit change of
      // signature or digest is "invalid", not an error; ours is the same signature.
      const std::string digest = FromHex(f[3]), signature = FromHex(f[4]), bad_signature = Flip(signature),
                        bad_digest = Flip(digest);
      for (int32_t check : {0, 1}) {
        EXPECT_EQ(key.Verify(Bytes(digest), Len(digest), f[2].c_str(), Bytes(signature), Len(signature), valid, 0, 0,
                             check), 0);
        EXPECT_EQ(valid, 1);
        EXPECT_EQ(key.Verify(Bytes(digest), Len(digest), f[2].c_str(), Bytes(bad_signature), Len(signature), valid, 0,
                             0, check) + valid, 0);
        EXPECT_EQ(key.Verify(Bytes(bad_digest), Len(digest), f[2].c_str(), Bytes(signature), Len(signature), valid, 0,
                             0, check) + valid, 0);
      }
      ASSERT_EQ(key.Sign(Bytes(digest), Len(digest), f[2].c_str(), mine, 0, 0), 0);
      EXPECT_EQ(Str(mine), signature);
      if (f[2] != "SHA256") continue;
      if (f[1] == "1024") ours += "layout 1024 " + f[3] + " " + Hex(mine) + "\n";
      EXPECT_EQ(key.Verify(Bytes(digest), Len(digest), "sha256", Bytes(signature), Len(signature), valid, 0, 0, 1) +
                valid, 1);
      EXPECT_EQ(key.Verify(Bytes(digest), Len(digest), "SHA-256", Bytes(signature), Len(signature), valid, 0, 0, 1),
                kRsaUnknownDigestInfo);
    } else if (kind == "pss") {
      // Every failure is 1119: a changed bit, a wrong length, a salt length the signature does not have.
      const int32_t salt = std::stoi(f[3]);
      const std::string digest = FromHex(f[4]), signature = FromHex(f[5]), bad = Flip(signature);
      const char* name = f[2].c_str();
      EXPECT_EQ(key.Verify(Bytes(digest), Len(digest), name, Bytes(signature), Len(signature), valid, 1, salt, 0), 0);
      EXPECT_EQ(valid, 1);
      EXPECT_EQ(key.Verify(Bytes(digest), Len(digest), name, Bytes(bad), Len(bad), valid, 1, salt, 0), kRsaPssInvalid);
      EXPECT_EQ(valid, 0);
      EXPECT_EQ(key.Verify(Bytes(digest), Len(digest), name, Bytes(signature), Len(signature) - 1, valid, 1, salt, 0),
                kRsaPssInvalid);
      EXPECT_EQ(key.Verify(Bytes(digest), Len(digest), name, Bytes(signature), Len(signature), valid, 1,
                           (salt < 0 ? Len(digest) : salt) + 1, 0), kRsaPssInvalid);
      ASSERT_EQ(key.Sign(Bytes(digest), Len(digest), name, mine, 1, salt), 0);
      EXPECT_EQ(mine.Length(), Len(signature));
      ours += "pss " + f[1] + " " + f[2] + " " + f[3] + " " + f[4] + " " + Hex(mine) + "\n";
    } else if (kind == "v15raw" || kind == "oaepraw") {
      const std::string cipher = FromHex(f[5]);
      EXPECT_EQ(kind == "v15raw" ? key.Pkcs1Decrypt(Bytes(cipher), Len(cipher), out)
                                 : key.DecryptOaep(Bytes(cipher), Len(cipher), out, nullptr, 0, nullptr, nullptr),
                std::stoi(f[3]));
      EXPECT_EQ(Str(out), FromHex(f[4]));
    } else {
      // The DigestInfo without NULL verifies and leaves the prefix two bytes shorter; another OID
      // passes only unchecked; the MD5+SHA-1 block with its length byte verifies; a bare block whose
      // separator stands two bytes late is invalid.
      const std::string digest = FromHex(f[2]), signature = FromHex(f[3]);
      const char* name = kind == "md5sha1byte" ? "MD5SHA1" : kind == "rawshort" ? "RAW" : "SHA256";
      for (int32_t check : {0, 1}) {
        core::Buffer prefix;
        ASSERT_EQ(AppendDigestInfoPrefix(name, prefix), 0);
        const int32_t before = prefix.Length();
        EXPECT_EQ(RsaVerifyPkcs1v15(key, Bytes(digest), Len(digest), prefix, Bytes(signature), Len(signature), check,
                                    valid), 0);
        EXPECT_EQ(valid, kind == "rawshort" ? 0 : kind == "otheroid" ? 1 - check : 1) << "check " << check;
        EXPECT_EQ(prefix.Length(), kind == "nonull" ? before - 2 : before);
      }
    }
  }
  EXPECT_EQ(seen["key"] * 100 + seen["dec"], 530);
  EXPECT_EQ(seen["v15"] * 100 + seen["pss"], 1824);
  EXPECT_EQ(seen["v15raw"] + seen["oaepraw"] + seen["nonull"] + seen["otheroid"] + seen["md5sha1byte"], 14);

  RsaEngine& small = *keys.at("1024");
  const std::string message(118, 'm');
  core::Buffer out, plain;
  // Room in a 1024-bit block: v1.5 117 bytes, OAEP with SHA-1 86.
  for (int32_t oaep : {0, 1}) {
    const int32_t most = oaep != 0 ? 86 : 117;
    ASSERT_EQ(out.SetData(0, nullptr), 0);
    ASSERT_EQ(small.EncryptByPadding(Bytes(message), most, out, oaep, nullptr, 0, nullptr, nullptr), 0);
    ours += std::string("enc 1024 ") + (oaep != 0 ? "oaep" : "pkcs1") + " - - x x" + ToHex(message.substr(0, most)) +
            " " + Hex(out) + "\n";
    EXPECT_EQ(small.EncryptByPadding(Bytes(message), most + 1, plain, oaep, nullptr, 0, nullptr, nullptr),
              kRsaMessageTooLong);
  }
  // An empty MGF name encrypts with SHA-1, but decryption looks the empty name up and fails.
  ASSERT_EQ(out.SetData(0, nullptr), 0);
  ASSERT_EQ(small.EncryptOaep(Bytes(message), 10, out, nullptr, 0, "SHA256", ""), 0);
  ours += "enc 1024 oaep SHA256 SHA1 x x" + ToHex(message.substr(0, 10)) + " " + Hex(out) + "\n";
  EXPECT_EQ(small.DecryptOaep(out.Bytes(), out.Length(), plain, nullptr, 0, "SHA256", ""), 2001);
  // Without a label the empty-message digest is chosen by the digest length: SHA3-256 takes SHA-256's.
  ASSERT_EQ(out.SetData(0, nullptr), 0);
  ASSERT_EQ(small.EncryptOaep(Bytes(message), 10, out, nullptr, 0, "SHA3_256", nullptr), 0);
  ours += "lhash 1024 " + Hex(out) + "\n";
  // A 512-bit key has no room for SHA-512 with a 64-byte salt.
  RsaEngine tiny;
  RsaKeyParams params;
  ASSERT_EQ(CngCreateRsaKey(512, params, kProviderInternal), 0);
  ASSERT_EQ(tiny.SetKeyParams(params), 0);
  EXPECT_EQ(tiny.Sign(Bytes(message), 64, "SHA512", out, 1, 64), kRsaModulusTooShort);

  std::string checked;
  ASSERT_TRUE(RunPython(kOracle, "check " + seed + " " + folder, ours, &checked, "/usr/bin/python3"));
  int ok = 0;
  for (const auto& f : Lines(checked)) {
    std::string line;
    for (const auto& field : f) line += field + " ";
    EXPECT_EQ(line.substr(0, 3), "ok ") << line;
    ok += line.substr(0, 3) == "ok " ? 1 : 0;
  }
  EXPECT_EQ(ok, 30 + 24 + 1 + 2 + 1 + 1);
}
VELMORA_ON_MONTGOMERY_PATHS(RsaPaddingOnPath);

}  // namespace
}  // namespace velmora::crypto
