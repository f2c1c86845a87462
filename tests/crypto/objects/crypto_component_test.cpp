#include <string>

#include <gtest/gtest.h>

#include "crypto/objects/crypto_component.h"
#include "platform/memory.h"
#include "tests/test_support.h"

namespace velmora::component {
namespace {

using platform::test::FailAllocAfter;
using testing_support::Text;

// CountedObject counts its live instances so that tests see which objects a component destroyed.
class CountedObject : public CryptoObject {
 public:
  explicit CountedObject(int* live) : live_(live) { ++*live_; }
  ~CountedObject() override { --*live_; }

 private:
  int* live_;
};

TEST(CryptoComponentRelease, HeldObjectsAreDestroyed) {
  int live = 0;
  CryptoComponent component;
  EXPECT_EQ(component.AlgorithmId(), -1);
  EXPECT_EQ(component.Object(), nullptr);

  for (int32_t id : {0, 18, 22, 47, 51, 52, 53, 60}) {
    component.Hold(id, new CountedObject(&live), 1);
    EXPECT_EQ(live, 1);
    component.ReleaseObject();
    EXPECT_EQ(live, 0) << id;
    EXPECT_EQ(component.AlgorithmId(), -1);
    EXPECT_EQ(component.ProviderMode(), 0u);
    EXPECT_EQ(component.Object(), nullptr);
  }

  {
    CryptoComponent scoped;
    scoped.Hold(30, new CountedObject(&live), 0);
    scoped.Hold(31, new CountedObject(&live), 0);  // replacing releases the first
    EXPECT_EQ(live, 1);
    CryptoJob job;  // a job starts with MD5 and releases its component's object too
    EXPECT_EQ(Text(job.DigestName()), "MD5");
    job.Crypto().Hold(3, new CountedObject(&live), 0);
  }
  EXPECT_EQ(live, 0);  // the destructors release what is held
}

// Fills every text the clone copies, several beyond the inline size so that each needs an allocation.
void FillCertificateState(CertKeyComponent& c) {
  const std::string big(120, 'x');
  c.StoreKind() = 3;
  c.CertificateSet() = 1;
  c.Flag() = 2;
  c.Store().selected_index = 4;
  ASSERT_EQ(c.Store().subject.SetString(("CN=" + big).c_str()), 0);
  ASSERT_EQ(c.Store().store_data.SetString(big.c_str()), 0);
  ASSERT_EQ(c.Store().password.SetString("secret"), 0);
  ASSERT_EQ(c.StoreName().SetString(("/certs/" + big).c_str()), 0);
  ASSERT_EQ(c.EncodedCertificate().SetString(big.c_str()), 0);
  ASSERT_EQ(c.Subject().SetString("CN=host"), 0);
  ASSERT_EQ(c.StorePassword().SetString("pw"), 0);
  ASSERT_EQ(c.Thumbprint().SetString(big.c_str()), 0);
  ASSERT_EQ(c.FurtherText().SetString("more"), 0);
}

TEST(CertKeyComponentClone, CopiesTheCertificateState) {
  CertKeyComponent source;
  FillCertificateState(source);
  CertKeyComponent* copy = source.Clone();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->StoreKind(), 3);
  EXPECT_EQ(copy->Store().selected_index, 4);
  EXPECT_TRUE(copy->Store().store_data.Equals(source.Store().store_data));
  EXPECT_TRUE(copy->EncodedCertificate().Equals(source.EncodedCertificate()));
  EXPECT_EQ(Text(copy->FurtherText()), "more");
  delete copy;
}

TEST(CertKeyComponentClone, EveryAllocationFailureGivesNullAndLeaksNothing) {
  CertKeyComponent source;
  FillCertificateState(source);
  // Fail the n-th allocation of the clone for every n until a clone goes through; a leak of a partial
  // clone would be reported by the leak checker at exit.
  int failures = 0;
  for (int n = 0; n < 50; ++n) {
    platform::test::FailAllocAfter(n);
    CertKeyComponent* copy = source.Clone();
    platform::test::FailAllocAfter(-1);
    if (copy != nullptr) {
      EXPECT_TRUE(copy->Thumbprint().Equals(source.Thumbprint()));
      delete copy;
      break;
    }
    ++failures;
  }
  EXPECT_EQ(failures, 6);  // the object and its five texts beyond the inline size
}

TEST(ChainValidatorArraySlots, CreateRemoveAndKeepPlaces) {
  ChainValidatorArray array;
  ASSERT_EQ(array.SetCount(3), 0);
  CertKeyComponent* first = array.Get(0);
  CertKeyComponent* last = array.Get(2);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(array.RemoveAt(1), 0);
  EXPECT_EQ(array.Get(1), nullptr);
  EXPECT_EQ(array.Count(), 3);
  EXPECT_EQ(array.Get(2), last);  // later slots do not move
  for (int32_t index : {1, 3, -1}) EXPECT_EQ(array.RemoveAt(index), 0);  // an empty slot, out of range: ignored
  EXPECT_EQ(array.CreateEntry(0), 0);
  EXPECT_EQ(array.Get(0), first);  // a filled slot is left alone
  EXPECT_EQ(array.CreateEntry(1), 0);
  EXPECT_NE(array.Get(1), nullptr);
  EXPECT_EQ(array.CreateEntry(3), 432);
  EXPECT_EQ(array.CreateEntry(-1), 432);
  ASSERT_EQ(array.SetCount(1), 0);
  EXPECT_EQ(array.Get(0), first);
}

TEST(ChainValidatorArraySlots, OutOfMemoryLeavesSlotsEmpty) {
  ChainValidatorArray array;
  ASSERT_EQ(array.SetCount(2), 0);
  ASSERT_EQ(array.RemoveAt(1), 0);
  FailAllocAfter(0);
  EXPECT_EQ(array.CreateEntry(1), 200);
  EXPECT_EQ(array.Get(1), nullptr);
  // The slots of five entries stay inline: the first new entry is made, the second fails.
  FailAllocAfter(1);
  EXPECT_EQ(array.SetCount(5), 200);
  EXPECT_EQ(array.Count(), 5);
  EXPECT_NE(array.Get(2), nullptr);
  EXPECT_EQ(array.Get(3), nullptr);
  // Twenty slots need a heap block: when it cannot be had nothing changes.
  FailAllocAfter(0);
  EXPECT_EQ(array.SetCount(20), 200);
  FailAllocAfter(-1);
  EXPECT_EQ(array.Count(), 5);
  EXPECT_NE(array.Get(2), nullptr);
}

}  // namespace
}  // namespace velmora::component
