// Hostile advertisements: random and mutated section lists (random types and lengths, sections too short
// for their kind, 254-byte sections, platform values of any size). A million go through the decoders
// themselves; a large share goes through the whole engine (straight into the event bridge, with platform
// objects of any shape) and through the simulated radio, to a sink that checks every event and now and
// then queries the in-event settings. Run under ASan and UBSan, the test also shows that no input crashes
// or leaks.
//
// The seed is printed; VELMORABLE_FUZZ_SEED replays one. VELMORABLE_FUZZ_SCALE multiplies the counts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ble/advertisement.h"
#include "ble/ble_client.h"
#include "platform/time.h"
#include "tests/ble/scan_test_util.h"
#include "tests/test_support.h"

namespace velmora::ble::testing {
namespace {

using bt::BluetoothLEAdvertisementType;
using Rng = std::mt19937_64;

// Section lists through the decoders; advertisements through the event bridge; advertisements through the
// radio (which journals every platform call and crosses threads, so it runs the smallest share).
constexpr int64_t kDecoderAdverts = 1000000;
constexpr int64_t kEngineAdverts = 100000;
constexpr int64_t kRadioAdverts = 50000;
// Every kQueryEvery-th advertisement also has the sink query the in-event settings.
constexpr int64_t kQueryEvery = 64;

uint64_t Seed() {
  const char* seed = std::getenv("VELMORABLE_FUZZ_SEED");
  return seed != nullptr ? std::strtoull(seed, nullptr, 0) : 0x5EEDADu;
}

// ---- Input generation

const uint8_t kTypes[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
                          0x14, 0x15, 0x16, 0x1F, 0x20, 0x21, 0x21, 0x16, 0x15, 0x14, 0xFF};
const size_t kLengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 15, 16, 17, 18, 19, 31, 32, 33, 253, 254};

// Valid advertisements that mutation starts from.
const char* const kCorpus[] = {
    "020106 05030D180F18 020A00 0B0956656C6D6F7261204852",
    "05FFFFFF0102 04160F185A",
    "020106 1107FB349B5F80000080001000000D180000 04160F1864 07207856341201AB",
    "13215B4A3F2E1D0C9B8A5F4E0100D4C3B2A10102 05140A180D18 051F78563412",
    "11155B4A3F2E1D0C9B8A5F4E0100D4C3B2A1 06FF5900010203 05FF34120041 020AF4",
};

uint8_t Byte(Rng& rng) { return static_cast<uint8_t>(rng()); }
size_t Below(Rng& rng, size_t n) { return static_cast<size_t>(rng() % n); }
// Fill gives every byte a random value, eight bytes per draw.
void Fill(Rng& rng, std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size(); i += 8) {
    uint64_t value = rng();
    for (size_t j = i; j < bytes.size() && j < i + 8; ++j, value >>= 8) bytes[j] = static_cast<uint8_t>(value);
  }
}

void RandomSection(Rng& rng, AdvertisementSection& section) {
  section.data_type = Below(rng, 8) == 0 ? Byte(rng) : kTypes[Below(rng, std::size(kTypes))];
  const size_t length = Below(rng, 4) == 0 ? Below(rng, 255) : kLengths[Below(rng, std::size(kLengths))];
  section.data.resize(length);
  Fill(rng, section.data);
}

AdvertisementSection RandomSection(Rng& rng) {
  AdvertisementSection section;
  RandomSection(rng, section);
  return section;
}

void Mutate(Rng& rng, std::vector<AdvertisementSection>& sections) {
  const size_t steps = 1 + Below(rng, 4);
  for (size_t step = 0; step < steps; ++step) {
    if (sections.empty()) {
      sections.push_back(RandomSection(rng));
      continue;
    }
    AdvertisementSection& section = sections[Below(rng, sections.size())];
    switch (Below(rng, 7)) {
      case 0:  // truncate
        section.data.resize(section.data.empty() ? 0 : Below(rng, section.data.size()));
        break;
      case 1:  // grow to the largest section a length byte allows
        section.data.resize(254, Byte(rng));
        break;
      case 2:
        if (!section.data.empty()) section.data[Below(rng, section.data.size())] ^= static_cast<uint8_t>(1 + Below(rng, 255));
        break;
      case 3:
        section.data_type = kTypes[Below(rng, std::size(kTypes))];
        break;
      case 4:
        sections.push_back(section);
        break;
      case 5:
        sections.erase(sections.begin() + static_cast<std::ptrdiff_t>(Below(rng, sections.size())));
        break;
      default:
        sections.insert(sections.begin() + static_cast<std::ptrdiff_t>(Below(rng, sections.size() + 1)),
                        RandomSection(rng));
        break;
    }
  }
}

const std::vector<std::vector<AdvertisementSection>>& Corpus() {
  static const auto* const corpus = [] {
    auto* parsed = new std::vector<std::vector<AdvertisementSection>>();
    for (const char* hex : kCorpus) {
      parsed->emplace_back();
      EXPECT_TRUE(bt::sim::ParseAdvertisingData(Hex(hex), &parsed->back()));
    }
    return parsed;
  }();
  return *corpus;
}

// RandomSections refills sections (reusing its storage) with a mutated corpus entry or random sections.
void RandomSections(Rng& rng, std::vector<AdvertisementSection>& sections) {
  if (Below(rng, 2) == 0) {
    sections = Corpus()[Below(rng, Corpus().size())];
    Mutate(rng, sections);
    return;
  }
  sections.resize(Below(rng, 12));
  for (AdvertisementSection& section : sections) RandomSection(rng, section);
}

std::vector<AdvertisementSection> RandomSections(Rng& rng) {
  std::vector<AdvertisementSection> sections;
  RandomSections(rng, sections);
  return sections;
}

// ---- What every event must satisfy

bool IsUuidList(const std::string& text, size_t* count) {
  *count = 0;
  if (text.empty()) return true;
  if ((text.size() + 1) % 37 != 0) return false;
  for (size_t at = 0; at < text.size(); at += 37) {
    for (size_t i = 0; i < 36; ++i) {
      const char c = text[at + i];
      const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
      if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    if (at + 36 < text.size() && text[at + 36] != ',') return false;
    ++*count;
  }
  return true;
}

// Expected is what the decoders must make of one advertisement's sections (and, when known, of the
// platform's values).
struct Expected {
  uint64_t address = 0;
  int16_t rssi = 0;
  BluetoothLEAdvertisementType type = BluetoothLEAdvertisementType::ConnectableUndirected;
  int32_t tx_power = kNoTxPower;
  std::optional<size_t> service_data_count;  // nullopt: a section is too short, the value is ""
  bool solicitation_ok = true;
  std::optional<size_t> service_uuid_count;  // known for the direct path
  std::optional<int32_t> company_id;         // known for the direct path
  std::string manufacturer_data;
};

Expected Expect(const std::vector<AdvertisementSection>& sections) {
  Expected e;
  size_t service_data = 0;
  bool service_data_ok = true;
  for (const AdvertisementSection& s : sections) {
    const size_t n = s.data.size();
    if (s.data_type == 0x0A && n > 0 && e.tx_power == kNoTxPower) e.tx_power = static_cast<int8_t>(s.data[0]);
    if (s.data_type == 0x21 || s.data_type == 0x20 || s.data_type == 0x16) {
      ++service_data;
      if (n < (s.data_type == 0x21 ? 16u : s.data_type == 0x20 ? 4u : 2u)) service_data_ok = false;
    }
    if (s.data_type == 0x15 && n % 16 != 0) e.solicitation_ok = false;
    if (s.data_type == 0x1F && n % 4 != 0) e.solicitation_ok = false;
    if (s.data_type == 0x14 && n % 2 != 0) e.solicitation_ok = false;
  }
  if (service_data_ok) e.service_data_count = service_data;
  return e;
}

// CheckEvent reports (as test failures) everything wrong with one Advertisement event; false when any.
bool CheckEvent(const Event& event, const Expected& e) {
  bool ok = true;
  auto expect = [&ok](bool condition, const char* what) {
    if (!condition) {
      ADD_FAILURE() << what;
      ok = false;
    }
  };
  expect(event.id == VELMORABLE_EVENT_ADVERTISEMENT && event.params.size() == 11, "eleven values");
  if (!ok) return false;
  char id[16];
  std::snprintf(id, sizeof id, "%012llX", static_cast<unsigned long long>(e.address & 0xFFFFFFFFFFFFull));
  expect(event.Text(0) == id, "server id");
  expect(event.Int(2) == e.rssi, "RSSI");
  expect(event.Int(3) == e.tx_power, "TX power");
  size_t count = 0;
  expect(IsUuidList(event.Text(4), &count), "service UUID list");
  if (e.service_uuid_count) expect(count == *e.service_uuid_count, "service UUID count");
  expect(IsUuidList(event.Text(5), &count), "service data UUID list");
  expect(count == e.service_data_count.value_or(0), "service data UUID count");
  expect(IsUuidList(event.Text(6), &count), "solicitation UUID list");
  if (!e.solicitation_ok) expect(count == 0, "solicitations of a malformed advertisement");
  const int32_t company = event.Int(7);
  expect(company >= -1 && company <= 0xFFFF, "company id range");
  if (company == -1) expect(event.Text(8).empty(), "bytes without a company");
  if (e.company_id) {
    expect(company == *e.company_id, "company id");
    expect(event.Text(8) == e.manufacturer_data, "manufacturer data");
  }
  const bool connectable = e.type == BluetoothLEAdvertisementType::ConnectableUndirected ||
                           e.type == BluetoothLEAdvertisementType::ConnectableDirected;
  expect(event.Int(9) == (connectable ? 1 : 0), "connectable");
  expect(event.Int(10) == (e.type == BluetoothLEAdvertisementType::ScanResponse ? 1 : 0), "scan response");
  return ok;
}

// ReportIsWellFormed: the length bytes agree with each other and with the AD structures.
bool ReportIsWellFormed(const std::vector<uint8_t>& r) {
  if (r.size() < 14 || r.size() > static_cast<size_t>(kMaxReportLength)) return false;
  const size_t n = r[12];
  if (r.size() != 14 + n || r[1] != 12 + n) return false;
  size_t at = 0;
  while (at < n) at += 1 + r[13 + at];
  return at == n;
}

bool CheckReport(const std::string& hex, const Expected& e) {
  const std::vector<uint8_t> r = Hex(hex);
  if (!ReportIsWellFormed(r) || hex.size() != 2 * r.size()) return false;
  if (r.size() < 14 || r.size() > static_cast<size_t>(kMaxReportLength) || hex.size() != 2 * r.size()) return false;
  const size_t n = r[12];
  if (r.size() != 14 + n || r[0] != 0x3E || r[1] != 12 + n || r[2] != 2 || r[3] != 1) return false;
  if (r[4] != static_cast<uint8_t>(e.type) || r[13 + n] != static_cast<uint8_t>(e.rssi)) return false;
  for (int i = 0; i < 6; ++i) {
    if (r[6 + i] != static_cast<uint8_t>(e.address >> (8 * i))) return false;
  }
  size_t at = 0;
  while (at < n) at += 1 + r[13 + at];
  return at == n;
}

// ---- Platform objects of any shape, for the direct path

class FakeAdvertisement final : public bt::BluetoothLEAdvertisement {
 public:
  bt::HString name;
  std::optional<uint32_t> flags;
  std::vector<Guid> service_uuids;
  std::vector<bt::BluetoothLEManufacturerData> manufacturer;
  std::vector<AdvertisementSection> sections;

  bt::HString LocalName() override { return name; }
  std::optional<uint32_t> Flags() override { return flags; }
  std::vector<Guid> ServiceUuids() override { return service_uuids; }
  void AppendServiceUuid(const Guid& uuid) override { service_uuids.push_back(uuid); }
  std::vector<bt::BluetoothLEManufacturerData> ManufacturerData() override { return manufacturer; }
  std::vector<AdvertisementSection> GetSectionsByType(uint8_t type) override {
    std::vector<AdvertisementSection> found;
    for (const auto& s : sections) {
      if (s.data_type == type) found.push_back(s);
    }
    return found;
  }
  std::vector<AdvertisementSection> DataSections() override { return sections; }
};

class FakeReceivedArgs final : public bt::BluetoothLEAdvertisementReceivedEventArgs {
 public:
  uint64_t address = 0;
  int16_t rssi = 0;
  BluetoothLEAdvertisementType type = BluetoothLEAdvertisementType::ConnectableUndirected;
  std::shared_ptr<FakeAdvertisement> advertisement = std::make_shared<FakeAdvertisement>();

  uint64_t BluetoothAddress() override { return address; }
  int16_t RawSignalStrengthInDBm() override { return rssi; }
  BluetoothLEAdvertisementType AdvertisementType() override { return type; }
  std::shared_ptr<bt::BluetoothLEAdvertisement> Advertisement() override { return advertisement; }
  // Received just now, by the first scan of the watcher, which the test starts and nobody stops.
  int64_t Timestamp() override { return static_cast<int64_t>(platform::MonotonicMs()); }
  uint64_t Run() override { return 1; }
};

std::shared_ptr<FakeReceivedArgs> RandomArgs(Rng& rng) {
  auto args = std::make_shared<FakeReceivedArgs>();
  args->address = rng();
  args->rssi = static_cast<int16_t>(rng());
  args->type = static_cast<BluetoothLEAdvertisementType>(Below(rng, 5));
  FakeAdvertisement& ad = *args->advertisement;
  ad.sections = RandomSections(rng);
  if (Below(rng, 2) == 0) ad.flags = static_cast<uint32_t>(rng());
  // Names of any UTF-16 units, lone surrogates and zeros included.
  for (size_t i = Below(rng, 4) == 0 ? Below(rng, 40) : 0; i > 0; --i) ad.name.push_back(static_cast<char16_t>(rng()));
  const size_t uuids = Below(rng, 64) == 0 ? Below(rng, 300) : Below(rng, 4);
  for (size_t i = 0; i < uuids; ++i) {
    ad.service_uuids.push_back(Below(rng, 2) == 0 ? bt::BluetoothBaseUuid(static_cast<uint32_t>(rng() % 0x20000))
                                                  : MakeGuid(static_cast<uint32_t>(rng()), 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}));
  }
  for (size_t i = Below(rng, 3); i > 0; --i) {
    bt::BluetoothLEManufacturerData entry;
    entry.company_id = static_cast<uint16_t>(rng());
    entry.data.resize(Below(rng, 32) == 0 ? Below(rng, 600) : Below(rng, 8));
    Fill(rng, entry.data);
    ad.manufacturer.push_back(std::move(entry));
  }
  return args;
}

Expected ExpectDirect(const FakeReceivedArgs& args) {
  Expected e = Expect(args.advertisement->sections);
  e.address = args.address;
  e.rssi = args.rssi;
  e.type = args.type;
  e.service_uuid_count = args.advertisement->service_uuids.size();
  const auto& manufacturer = args.advertisement->manufacturer;
  e.company_id = manufacturer.empty() ? -1 : manufacturer[0].company_id;
  if (!manufacturer.empty()) e.manufacturer_data.assign(manufacturer[0].data.begin(), manufacturer[0].data.end());
  return e;
}

// ---- The runs

// FuzzState is what the sink checks each event against: the expectations of the advertisements sent, in
// order (the radio delivers on one thread, first in first out).
struct FuzzState {
  std::mutex mutex;
  std::deque<Expected> pending;
  int64_t delivered = 0;
  int64_t bad = 0;
  int64_t queries = 0;
};

class AdvertisementFuzz : public ScanFixture {
 protected:
  void SetUp() override {
    ScanFixture::SetUp();
    seed_ = Seed();
    std::printf("advertisement fuzz seed: 0x%llX (set VELMORABLE_FUZZ_SEED to replay)\n",
                static_cast<unsigned long long>(seed_));
    sink_.keep = false;
    sink_.inside = [this](const Event& event) { OnEvent(event); };
  }

  void OnEvent(const Event& event) {
    if (event.id != VELMORABLE_EVENT_ADVERTISEMENT) return;
    Expected expected;
    int64_t number;
    {
      std::lock_guard lock(state_.mutex);
      if (state_.pending.empty()) {
        ++state_.bad;
        ADD_FAILURE() << "an event nobody sent";
        return;
      }
      expected = std::move(state_.pending.front());
      state_.pending.pop_front();
      number = state_.delivered++;
    }
    bool ok = CheckEvent(event, expected);
    if (number % kQueryEvery == 0) ok = Query(expected) && ok;
    if (!ok) {
      std::lock_guard lock(state_.mutex);
      ++state_.bad;
    }
  }

  // Query asks the in-event settings from inside the event.
  bool Query(const Expected& expected) {
    std::string reply;
    bool ok = testing::Config(handle_, "AdvertisementRawData", &reply) == 0 && CheckReport(reply, expected);
    EXPECT_TRUE(ok) << "raw report " << reply;
    const int rc = testing::Config(handle_, "ManufacturerDataCount", &reply);
    ok = rc == 0 && !reply.empty() && ok;
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(testing::Config(handle_, "ManufacturerData[-1]"), 202);
    const int service_data = testing::Config(handle_, "ServiceData=180F", &reply);
    EXPECT_TRUE(service_data == 0 || service_data == 202) << service_data;
    std::lock_guard lock(state_.mutex);
    ++state_.queries;
    return ok;
  }

  void ExpectAllDelivered(int64_t sent) {
    std::lock_guard lock(state_.mutex);
    EXPECT_EQ(state_.delivered, sent);
    EXPECT_TRUE(state_.pending.empty());
    EXPECT_EQ(state_.bad, 0) << "seed 0x" << std::hex << seed_;
    EXPECT_GT(state_.queries, 0);
  }

  uint64_t seed_ = 0;
  FuzzState state_;
};

// CheckDecoders runs the decoders on one section list and checks them against the expectations.
bool CheckDecoders(Rng& rng, const std::vector<AdvertisementSection>& sections, const Expected& e) {
  static UuidList uuids;
  static core::StrList payloads;
  static core::Buffer text;
  static core::Buffer error;
  if (AdvertisedTxPower(sections) != e.tx_power) return false;
  (void)text.Clear();
  const int service_data = DecodeServiceDataSections(sections, uuids, payloads, text, error);
  size_t count = 0;
  if ((service_data == 0) != e.service_data_count.has_value()) return false;
  if (!IsUuidList(std::string(text.Data(), text.Length()), &count)) return false;
  if (service_data == 0 && (count != *e.service_data_count || uuids.size() != count ||
                            payloads.Count() != static_cast<int32_t>(count))) {
    return false;
  }
  if (service_data != 0 && (service_data != kSectionLengthError || text.Length() != 0 ||
                            std::string(error.Data()).rfind("Expected byte[] length to be at least ", 0) != 0)) {
    return false;
  }
  (void)text.Clear();
  const int solicitation = DecodeSolicitationSections(sections, uuids, text, error);
  if ((solicitation == 0) != e.solicitation_ok) return false;
  if (solicitation != 0) {
    if (solicitation != kSectionLengthError || text.Length() != 0 ||
        std::string(error.Data()).rfind("Expected byte[] length to be a multiple of ", 0) != 0) {
      return false;
    }
  } else if (!IsUuidList(std::string(text.Data(), text.Length()), &count) || count != uuids.size()) {
    return false;
  }
  for (size_t i = 0; i < uuids.size(); ++i) {
    for (size_t j = i + 1; j < uuids.size(); ++j) {
      if (uuids[i] == uuids[j]) return false;
    }
  }
  // A report of platform values of any size (the bytes need not be random: only the lengths matter).
  static std::vector<uint8_t> data;
  static std::vector<uint16_t> short_uuids;
  data.assign(Below(rng, 8) == 0 ? Below(rng, 700) : Below(rng, 30), 0x5A);
  short_uuids.assign(Below(rng, 8) == 0 ? Below(rng, 300) : Below(rng, 5), 0x180D);
  AdvertisementReport in;
  in.event_type = static_cast<uint8_t>(Below(rng, 5));
  in.address = rng();
  in.rssi = static_cast<int16_t>(rng());
  if (Below(rng, 2) == 0) in.flags = static_cast<uint32_t>(rng());
  in.tx_power = e.tx_power;
  in.has_manufacturer_data = Below(rng, 2) == 0;
  in.manufacturer_data = data;
  in.short_uuids = short_uuids;
  static std::vector<uint8_t> report;
  report.resize(kMaxReportLength);
  const int32_t length = BuildAdvertisementReport(in, std::span<uint8_t, kMaxReportLength>(report.data(), kMaxReportLength));
  report.resize(static_cast<size_t>(length));
  return ReportIsWellFormed(report);
}

TEST_F(AdvertisementFuzz, DecodersSurviveAMillionHostileSectionLists) {
  Rng rng(seed_);
  const int64_t total = testing_support::FuzzScaled(kDecoderAdverts);
  int64_t bad = 0;
  std::vector<AdvertisementSection> sections;
  for (int64_t i = 0; i < total; ++i) {
    RandomSections(rng, sections);
    if (!CheckDecoders(rng, sections, Expect(sections)) && ++bad <= 10) {
      std::string hex;
      for (const auto& s : sections) {
        char head[8];
        std::snprintf(head, sizeof head, " %02X:%zu", s.data_type, s.data.size());
        hex += head;
      }
      ADD_FAILURE() << "advertisement " << i << " (sections" << hex << ")";
    }
  }
  EXPECT_EQ(bad, 0) << "seed 0x" << std::hex << seed_;
}

TEST_F(AdvertisementFuzz, EngineDeliversHostileAdvertisementsIntact) {
  Rng rng(seed_ ^ 0x5A5A5A5Au);
  BLEClientEngine& engine = reinterpret_cast<BLEClient*>(handle_)->Engine();
  const std::shared_ptr<BLEEvent> bridge = engine.Bridge();
  const int64_t total = testing_support::FuzzScaled(kEngineAdverts);
  ASSERT_EQ(StartScanning(), 0);
  for (int64_t i = 0; i < total; ++i) {
    const std::shared_ptr<FakeReceivedArgs> args = RandomArgs(rng);
    {
      std::lock_guard lock(state_.mutex);
      state_.pending.push_back(ExpectDirect(*args));
    }
    bridge->OnAdvertisementReceived(nullptr, args);
    if (HasFailure()) break;
  }
  ExpectAllDelivered(total);
}

TEST_F(AdvertisementFuzz, RadioDeliversHostileAdvertisementsIntact) {
  Rng rng(seed_ ^ 0xA5A5A5A5u);
  ASSERT_EQ(StartScanning(), 0);
  // Batches small enough that none of them waits out the client's age bound for advertisements on a loaded
  // machine: each one of them is to be delivered.
  constexpr size_t kBatch = 64;
  const int64_t total = testing_support::FuzzScaled(kRadioAdverts);
  constexpr uint64_t kAddress = 0xF0E1D2C3B4A5;
  for (int64_t sent = 0; sent < total && !HasFailure();) {
    SimPeripheral peripheral;
    peripheral.address = kAddress;
    std::vector<Expected> batch;
    for (size_t i = 0; i < kBatch && sent + static_cast<int64_t>(i) < total; ++i) {
      SimAdvert advert;
      advert.type = static_cast<BluetoothLEAdvertisementType>(Below(rng, 4));
      advert.rssi = static_cast<int16_t>(rng());
      advert.sections = RandomSections(rng);
      Expected e = Expect(advert.sections);
      e.address = kAddress;
      e.rssi = advert.rssi;
      e.type = advert.type;
      batch.push_back(std::move(e));
      peripheral.adverts.push_back(std::move(advert));
    }
    radio_->AddPeripheral(peripheral);
    {
      std::lock_guard lock(state_.mutex);
      state_.pending.insert(state_.pending.end(), batch.begin(), batch.end());
    }
    for (size_t i = 0; i < batch.size(); ++i) ASSERT_TRUE(radio_->EmitAdvertisement(kAddress, i));
    radio_->WaitIdle();
    sent += static_cast<int64_t>(batch.size());
  }
  ExpectAllDelivered(total);
}

}  // namespace
}  // namespace velmora::ble::testing
