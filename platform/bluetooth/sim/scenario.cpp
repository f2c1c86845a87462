// Scenario reader: one statement per line, a keyword and its arguments separated by blanks.
#include "platform/bluetooth/sim/scenario.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/bluetooth/sim/core.h"

namespace velmora::platform::bluetooth::sim {
namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

template <class T>
struct Named {
  const char* name;
  T value;
};

constexpr Named<SimAdapter> kAdapters[] = {
    {"present", SimAdapter::kPresent}, {"absent", SimAdapter::kAbsent}, {"no-le", SimAdapter::kNoLowEnergy}};
constexpr Named<BluetoothAddressType> kAddressTypes[] = {{"public", BluetoothAddressType::Public},
                                                         {"random", BluetoothAddressType::Random},
                                                         {"unspecified", BluetoothAddressType::Unspecified}};
constexpr Named<BluetoothLEAdvertisementType> kAdvertTypes[] = {
    {"connectable-undirected", BluetoothLEAdvertisementType::ConnectableUndirected},
    {"connectable-directed", BluetoothLEAdvertisementType::ConnectableDirected},
    {"scannable-undirected", BluetoothLEAdvertisementType::ScannableUndirected},
    {"non-connectable-undirected", BluetoothLEAdvertisementType::NonConnectableUndirected}};
constexpr Named<uint32_t> kPairingKinds[] = {{"none", DevicePairingKinds::None},
                                             {"confirm-only", DevicePairingKinds::ConfirmOnly},
                                             {"display-pin", DevicePairingKinds::DisplayPin},
                                             {"provide-pin", DevicePairingKinds::ProvidePin},
                                             {"confirm-pin-match", DevicePairingKinds::ConfirmPinMatch}};
constexpr Named<uint32_t> kProperties[] = {{"broadcast", 0x001},
                                           {"read", 0x002},
                                           {"write-without-response", 0x004},
                                           {"write", 0x008},
                                           {"notify", 0x010},
                                           {"indicate", 0x020},
                                           {"authenticated-signed-writes", 0x040},
                                           {"extended-properties", 0x080},
                                           {"reliable-writes", 0x100},
                                           {"writable-auxiliaries", 0x200}};
constexpr Named<SimOp> kOps[] = {{"get-adapter", SimOp::kGetAdapter},
                                 {"from-address", SimOp::kFromAddress},
                                 {"pair", SimOp::kPair},
                                 {"unpair", SimOp::kUnpair},
                                 {"root-services", SimOp::kRootServices},
                                 {"included-services", SimOp::kIncludedServices},
                                 {"characteristics", SimOp::kCharacteristics},
                                 {"descriptors", SimOp::kDescriptors},
                                 {"read-characteristic", SimOp::kReadCharacteristic},
                                 {"read-descriptor", SimOp::kReadDescriptor},
                                 {"read-cccd", SimOp::kReadCccd},
                                 {"write-characteristic", SimOp::kWriteCharacteristic},
                                 {"write-descriptor", SimOp::kWriteDescriptor},
                                 {"write-cccd", SimOp::kWriteCccd}};
constexpr Named<bool> kYesNo[] = {{"yes", true}, {"no", false}, {"up", true}, {"down", false}};

// SyntaxError ends the reading of a scenario; Parser::Run turns it into the line's error.
struct SyntaxError {
  std::string message;
};

[[noreturn]] void Fail(std::string message) { throw SyntaxError{std::move(message)}; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Tokenize splits a line at blanks; "..." is one token (no escapes), and # outside quotes starts a comment.
std::vector<Token> Tokenize(std::string_view line) {
  std::vector<Token> tokens;
  size_t at = 0;
  while (at < line.size()) {
    if (line[at] == ' ' || line[at] == '\t' || line[at] == '\r') {
      ++at;
    } else if (line[at] == '#') {
      break;
    } else if (line[at] == '"') {
      const size_t end = line.find('"', at + 1);
      if (end == std::string_view::npos) Fail("unterminated quoted text");
      tokens.push_back({std::string(line.substr(at + 1, end - at - 1)), true});
      at = end + 1;
    } else {
      size_t end = at;
      while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r') ++end;
      tokens.push_back({std::string(line.substr(at, end - at)), false});
      at = end;
    }
  }
  return tokens;
}

class Parser {
 public:
  void Run(std::string_view text, ScenarioError* error) {
    int line_number = 0;
    for (size_t start = 0; start <= text.size();) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      ++line_number;
      try {
        tokens_ = Tokenize(text.substr(start, end - start));
        if (!tokens_.empty()) Statement();
      } catch (const SyntaxError& e) {
        error->line = line_number;
        error->message = e.message;
        failed_ = true;
        return;
      }
      start = end + 1;
    }
  }

  bool failed() const { return failed_; }

  void Apply(SimRadio& radio) {
    radio.SetAdapter(adapter_);
    radio.SetWatcherTiming(start_delay_ms_, stop_delay_ms_);
    for (SimPeripheral& peripheral : peripherals_) radio.AddPeripheral(std::move(peripheral));
    for (const SimFault& fault : faults_) (void)radio.AddFault(fault);
  }

 private:
  const std::string& Arg(size_t index) {
    if (index >= tokens_.size()) Fail("\"" + tokens_[0].text + "\" needs more arguments");
    return tokens_[index].text;
  }

  void Done(size_t count) {
    if (tokens_.size() > count) Fail("unexpected \"" + tokens_[count].text + "\"");
  }

  template <class T, size_t N>
  T Pick(const Named<T> (&table)[N], size_t index) {
    const std::string& word = Arg(index);
    for (const auto& entry : table) {
      if (word == entry.name) return entry.value;
    }
    Fail("unknown value \"" + word + "\"");
  }

  int64_t Number(size_t index, int64_t low, int64_t high) {
    const std::string& word = Arg(index);
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(word.c_str(), &end, 0);
    if (word.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
      Fail("\"" + word + "\" is not a number from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return value;
  }

  uint16_t Handle(size_t index) { return static_cast<uint16_t>(Number(index, 1, 0xFFFF)); }

  static Bytes Hex(std::string_view digits) {
    if (digits.size() % 2 != 0) Fail(std::string("odd number of hex digits in \"").append(digits).append("\""));
    Bytes bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
      const int high = HexDigit(digits[i]);
      const int low = HexDigit(digits[i + 1]);
      if (high < 0 || low < 0) Fail(std::string("\"").append(digits).append("\" is not hex"));
      bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
  }

  // Text is a quoted text, or the words from `index` on joined by single blanks; UTF-8.
  Bytes Text(size_t index) {
    std::string text = Arg(index);
    if (tokens_[index].quoted) Done(index + 1);
    for (size_t i = index + 1; i < tokens_.size(); ++i) text += " " + tokens_[i].text;
    return Bytes(text.begin(), text.end());
  }

  // Value is a quoted UTF-8 text or hex digits; the tokens from `index` on are joined.
  Bytes Value(size_t index) {
    if (index < tokens_.size() && tokens_[index].quoted) {
      Done(index + 1);
      return Bytes(tokens_[index].text.begin(), tokens_[index].text.end());
    }
    std::string digits;
    for (size_t i = index; i < tokens_.size(); ++i) digits += tokens_[i].text;
    return Hex(digits);
  }

  // Uuid reads 4 or 8 hex digits (a short id on the Bluetooth base UUID) or the 36-character form.
  Guid Uuid(size_t index) {
    std::string digits;
    for (char c : Arg(index)) {
      if (c != '-') digits += c;
    }
    if (digits.size() == 4 || digits.size() == 8) {
      const Bytes b = Hex(digits);
      uint32_t value = 0;
      for (uint8_t byte : b) value = (value << 8) | byte;
      return BluetoothBaseUuid(value);
    }
    if (digits.size() != 32) Fail("\"" + Arg(index) + "\" is not a UUID");
    const Bytes b = Hex(digits);
    Guid uuid;
    uuid.data1 = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    uuid.data2 = static_cast<uint16_t>((b[4] << 8) | b[5]);
    uuid.data3 = static_cast<uint16_t>((b[6] << 8) | b[7]);
    for (int i = 0; i < 8; ++i) uuid.data4[i] = b[8 + i];
    return uuid;
  }

  SimAdvert Advert(BluetoothLEAdvertisementType type, size_t rssi_index) {
    SimAdvert advert;
    advert.type = type;
    advert.rssi = static_cast<int16_t>(Number(rssi_index, -127, 20));
    const Bytes data = Value(rssi_index + 1);
    if (!ParseAdvertisingData(data, &advert.sections)) Fail("advertising data runs past its end");
    return advert;
  }

  SimPeripheral& Peripheral() {
    if (peripherals_.empty()) Fail("\"" + tokens_[0].text + "\" outside a peripheral");
    return peripherals_.back();
  }
  SimService& Service() {
    SimPeripheral& peripheral = Peripheral();
    if (!in_service_) Fail("\"" + tokens_[0].text + "\" outside a service");
    return peripheral.gatt.services.back();
  }
  SimCharacteristic& Characteristic() {
    SimService& service = Service();
    if (!in_characteristic_) Fail("\"" + tokens_[0].text + "\" outside a characteristic");
    return service.characteristics.back();
  }

  uint32_t Properties(size_t index) {
    const std::string& word = Arg(index);
    if (!word.empty() && word[0] >= '0' && word[0] <= '9') return static_cast<uint32_t>(Number(index, 0, 0x3FF));
    uint32_t bits = 0;
    for (size_t start = 0; start <= word.size();) {
      size_t end = word.find('|', start);
      if (end == std::string::npos) end = word.size();
      const std::string name = word.substr(start, end - start);
      bool known = false;
      for (const auto& entry : kProperties) {
        if (name == entry.name) {
          bits |= entry.value;
          known = true;
        }
      }
      if (!known) Fail("unknown property \"" + name + "\"");
      start = end + 1;
    }
    return bits;
  }

  void FaultStatement() {
    SimFault fault;
    fault.op = Pick(kOps, 1);
    fault.times = -1;
    if (!peripherals_.empty()) fault.address = peripherals_.back().address;
    if (Arg(2) != "*") fault.handle = Handle(2);
    for (size_t i = 3; i < tokens_.size(); ++i) {
      const std::string& action = tokens_[i].text;
      if (action == "delay") {
        fault.delay_ms = Number(++i, 0, 3600000);
      } else if (action == "hold") {
        fault.hold = true;
      } else if (action == "inline") {
        fault.complete_inline = true;
      } else if (action == "null") {
        fault.null_result = true;
      } else if (action == "raise") {
        fault.results_hresult = static_cast<int32_t>(Number(++i, INT32_MIN, UINT32_MAX));
      } else if (action == "status") {
        fault.status = static_cast<int32_t>(Number(++i, INT32_MIN, INT32_MAX));
      } else if (action == "protocol-error") {
        fault.protocol_error = Arg(++i) == "none" ? kNoProtocolError : static_cast<int>(Number(i, 0, 255));
      } else if (action == "times") {
        fault.times = static_cast<int>(Number(++i, 1, INT32_MAX));
      } else {
        Fail("unknown fault action \"" + action + "\"");
      }
    }
    faults_.push_back(fault);
  }

  void Periodic(bool indicate) {
    SimPeriodicValue periodic{Handle(2), Number(1, 1, 3600000), indicate, {}};
    for (size_t i = 3; i < tokens_.size(); ++i) {
      periodic.values.push_back(tokens_[i].quoted ? Bytes(tokens_[i].text.begin(), tokens_[i].text.end())
                                                  : Hex(tokens_[i].text));
    }
    if (periodic.values.empty()) Fail("no values to send");
    Peripheral().periodic_values.push_back(std::move(periodic));
  }

  // Statement handles one line; its length comes from the number of keywords, one short branch each.
  void Statement() {
    const std::string& keyword = tokens_[0].text;
    if (keyword == "adapter") {
      adapter_ = Pick(kAdapters, 1);
      Done(2);
    } else if (keyword == "watcher-timing") {
      start_delay_ms_ = Number(1, -1, 3600000);
      stop_delay_ms_ = Number(2, 0, 3600000);
      Done(3);
    } else if (keyword == "fault") {
      FaultStatement();
    } else if (keyword == "peripheral") {
      SimPeripheral peripheral;
      std::string digits;
      for (char c : Arg(1)) {
        if (c != ':') digits += c;
      }
      if (digits.size() != 12) Fail("an address has 12 hex digits");
      for (uint8_t byte : Hex(digits)) peripheral.address = (peripheral.address << 8) | byte;
      if (tokens_.size() > 2) peripheral.address_type = Pick(kAddressTypes, 2);
      Done(3);
      peripherals_.push_back(std::move(peripheral));
      in_service_ = in_characteristic_ = false;
    } else if (keyword == "name") {
      Peripheral().name = Utf8ToHString(Text(1));
    } else if (keyword == "advert") {
      Peripheral().adverts.push_back(Advert(Pick(kAdvertTypes, 1), 2));
    } else if (keyword == "scan-response") {
      Peripheral().scan_response = Advert(BluetoothLEAdvertisementType::ScanResponse, 1);
    } else if (keyword == "advertise-every") {
      Peripheral().advertising_interval_ms = Number(1, 1, 3600000);
      Done(2);
    } else if (keyword == "obtainable") {
      Peripheral().obtainable = Pick(kYesNo, 1);
      Done(2);
    } else if (keyword == "reuse-device") {
      Peripheral().reuse_device_object = Pick(kYesNo, 1);
      Done(2);
    } else if (keyword == "link") {
      Peripheral().link_up = Pick(kYesNo, 1);
      Done(2);
    } else if (keyword == "can-pair") {
      Peripheral().can_pair = Pick(kYesNo, 1);
      Done(2);
    } else if (keyword == "paired") {
      Peripheral().paired = Pick(kYesNo, 1);
      Done(2);
    } else if (keyword == "pairing") {
      Peripheral().pairing_kind = Pick(kPairingKinds, 1);
      if (tokens_.size() > 2) Peripheral().pin = Utf8ToHString(Bytes(Arg(2).begin(), Arg(2).end()));
      Done(3);
    } else if (keyword == "max-pdu") {
      Peripheral().gatt.max_pdu_size = static_cast<uint16_t>(Number(1, 23, 0xFFFF));
      Done(2);
    } else if (keyword == "service") {
      SimService service{Handle(1), Uuid(2), true, {}, {}};
      if (tokens_.size() > 3) {
        if (Arg(3) != "secondary") Fail("expected \"secondary\"");
        service.primary = false;
      }
      Done(4);
      Peripheral().gatt.services.push_back(std::move(service));
      in_service_ = true;
      in_characteristic_ = false;
    } else if (keyword == "include") {
      Service().included.push_back(Handle(1));
      Done(2);
    } else if (keyword == "characteristic") {
      SimCharacteristic characteristic{Handle(1), Uuid(2), Properties(3), Value(4), false, {}, {}};
      Service().characteristics.push_back(std::move(characteristic));
      in_characteristic_ = true;
    } else if (keyword == "encrypted") {
      Characteristic().encrypted = true;
      Done(1);
    } else if (keyword == "descriptor") {
      SimDescriptor descriptor{Handle(1), Uuid(2), Value(3)};
      // A Client Characteristic Configuration descriptor reads each client's own subscription, which starts
      // off; any other starting value would be dropped without a word.
      if (descriptor.uuid == BluetoothBaseUuid(0x2902) && !descriptor.value.empty() &&
          descriptor.value != Bytes{0x00, 0x00}) {
        Fail("a 2902 descriptor's value is each client's subscription, which starts off: give it no value or 0000");
      }
      Characteristic().descriptors.push_back(std::move(descriptor));
    } else if (keyword == "format") {
      GattPresentationFormat format{static_cast<uint8_t>(Number(1, 0, 255)), static_cast<int32_t>(Number(2, -128, 127)),
                                    static_cast<uint16_t>(Number(3, 0, 0xFFFF)),
                                    static_cast<uint8_t>(Number(4, 0, 255)),
                                    static_cast<uint16_t>(Number(5, 0, 0xFFFF))};
      Done(6);
      Characteristic().formats.push_back(format);
    } else if (keyword == "notify-every" || keyword == "indicate-every") {
      Periodic(keyword == "indicate-every");
    } else {
      Fail("unknown keyword \"" + keyword + "\"");
    }
  }

  std::vector<Token> tokens_;
  bool failed_ = false;
  SimAdapter adapter_ = SimAdapter::kPresent;
  int64_t start_delay_ms_ = 0;
  int64_t stop_delay_ms_ = 0;
  std::vector<SimPeripheral> peripherals_;
  std::vector<SimFault> faults_;
  bool in_service_ = false;
  bool in_characteristic_ = false;
};

}  // namespace

namespace {

// Check runs the parser over text; the parser is left for Apply when the text is valid.
int Check(std::string_view text, Parser& parser, ScenarioError* error) {
  ScenarioError ignored;
  parser.Run(text, error != nullptr ? error : &ignored);
  return parser.failed() ? kScenarioSyntaxError : kScenarioOk;
}

int ReadScenarioFile(const std::string& path, std::string* text, ScenarioError* error) {
  std::ifstream file(path, std::ios::binary);
  // An empty file is a scenario without devices, as one holding only comments is. Copying its buffer would
  // fail as a read that fails does, so the end is looked for first: a read error (a directory) sets badbit.
  if (file && file.peek() == std::ifstream::traits_type::eof() && !file.bad()) {
    text->clear();
    return kScenarioOk;
  }
  std::ostringstream content;
  if (!file || !(content << file.rdbuf())) {
    if (error != nullptr) *error = {0, "cannot read the file"};
    return kScenarioUnreadable;
  }
  *text = content.str();
  return kScenarioOk;
}

}  // namespace

int LoadScenario(std::string_view text, SimRadio& radio, ScenarioError* error) {
  Parser parser;
  if (Check(text, parser, error) != kScenarioOk) return kScenarioSyntaxError;
  parser.Apply(radio);
  return kScenarioOk;
}

int LoadScenarioFile(const std::string& path, SimRadio& radio, ScenarioError* error) {
  std::string text;
  const int rc = ReadScenarioFile(path, &text, error);
  return rc != kScenarioOk ? rc : LoadScenario(text, radio, error);
}

int CheckScenarioFile(const std::string& path, ScenarioError* error) {
  std::string text;
  const int rc = ReadScenarioFile(path, &text, error);
  if (rc != kScenarioOk) return rc;
  Parser parser;
  return Check(text, parser, error);
}

}  // namespace velmora::platform::bluetooth::sim
