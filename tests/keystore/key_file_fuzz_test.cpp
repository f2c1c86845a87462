// Hostile private key files: mutated PPK, OpenSSH and SSH2 files of every key type, plain and encrypted,
// end in their readers' codes, and what reads writes back; under ASan and UBSan nothing crashes, reads out
// of bounds or leaks. VELMORABLE_FUZZ_SEED replays the printed seed, VELMORABLE_FUZZ_SCALE multiplies the
// count.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "keystore/openssh_key.h"
#include "keystore/ppk.h"
#include "tests/keystore/key_file_test_support.h"
#include "tests/fuzz_support.h"

namespace velmora::keystore::testing {

std::string FuzzPuttyKeyInput(const std::string& input);
std::string FuzzOpenSshKeyInput(const std::string& input);
std::string FuzzSsh2KeyInput(const std::string& input);

namespace {

using pki::testing::ScratchDir;
using pki::testing::Shell;

const std::string kBytes("\x00\x01\x04\x07\x0a\x20\x30\x3a\x41\x7f\x80\xff", 12);

// Seeds: the tools' files of each kind, made once, KDF costs at the lowered limits.
struct Seeds {
  ScratchDir dir;
  std::vector<std::string> ppk, openssh, ssh2;
  Seeds() {
    if (!Tool("puttygen --version") || !Tool("command -v ssh-keygen")) return;
    const std::string pw = dir / "pw", none = dir / "none";
    if (!Shell("printf pw > " + pw + " && : > " + none)) return;
    for (const char* spec : {"rsa -b 1024", "dsa -b 1024", "ecdsa -b 256", "ed25519", "ed448"}) {
      const std::string k = dir / "k";
      const std::string old = " -P --old-passphrase " + none + " --new-passphrase ";
      if (!Shell("puttygen -q -t " + std::string(spec) + " -o " + k + ".ppk --new-passphrase " + none + " && puttygen -q " +
                 k + ".ppk" + old + none + " --ppk-param version=2 -o " + k + "2.ppk && puttygen -q " + k + ".ppk" + old +
                 pw + " --ppk-param kdf=argon2id,memory=32,passes=1 -o " + k + "e.ppk && puttygen -q " + k + ".ppk" +
                 old + pw + " --ppk-param version=2 -o " + k + "2e.ppk")) {
        continue;
      }
      for (const char* f : {".ppk", "2.ppk", "e.ppk", "2e.ppk"}) ppk.push_back(pki::testing::ReadFile(k + f));
      if (spec[0] == 'r' || spec[0] == 'd') {
        for (const std::string& password : {none, pw}) {
          if (Shell("puttygen -q " + k + ".ppk" + old + password + " -O private-sshcom -o " + k + ".sshcom")) {
            ssh2.push_back(pki::testing::ReadFile(k + ".sshcom"));
          }
        }
      }
      if (Shell("puttygen -q " + k + ".ppk -O private-openssh-new -o " + k + ".ossh")) {
        openssh.push_back(pki::testing::ReadFile(k + ".ossh"));
        if (spec[1] != 'd' && Shell("ssh-keygen -q -p -P '' -N pw -a 1 -Z aes128-ctr -f " + k + ".ossh")) {
          openssh.push_back(pki::testing::ReadFile(k + ".ossh"));
        }
      }
    }
    for (std::string& file : openssh) {
      const size_t begin = file.find('\n') + 1, end = file.find("-----END");
      std::string base64;
      for (char c : file.substr(begin, end - begin)) base64 += c == '\n' || c == '\r' ? "" : std::string(1, c);
      file = Unbase64(base64);
    }
    for (std::string& file : ssh2) {
      std::string body;
      std::istringstream lines(file);
      for (std::string line; std::getline(lines, line);) {
        if (line.find(':') == std::string::npos && line.rfind("----", 0) != 0 && line.find('"') == std::string::npos) body += line;
      }
      file = body;
    }
  }
};

Seeds& AllSeeds() {
  static Seeds seeds;
  return seeds;
}

void FuzzLoop(const char* name, const std::vector<std::string>& seeds, int64_t count,
         const std::function<std::string(const std::string&)>& target) {
  pki::testing::ProvidersLoaded providers;
  if (seeds.empty()) GTEST_SKIP() << "puttygen or ssh-keygen missing";
  testing_support::RunMutationLoop(name, seeds, count, kBytes, target);
  test::SetPpkArgon2Limits(0, 0);
  test::SetOpenSshMaxRounds(0);
}

TEST(KeyFileFuzz, MutatedPuttyFilesEndInTheirCodes) { FuzzLoop("PPK", AllSeeds().ppk, 15000, FuzzPuttyKeyInput); }
TEST(KeyFileFuzz, MutatedOpenSshBodiesEndInTheirCodes) { FuzzLoop("OpenSSH", AllSeeds().openssh, 4000, FuzzOpenSshKeyInput); }
TEST(KeyFileFuzz, MutatedSsh2BlobsEndInTheirCodes) { FuzzLoop("SSH2", AllSeeds().ssh2, 40000, FuzzSsh2KeyInput); }

}  // namespace
}  // namespace velmora::keystore::testing
