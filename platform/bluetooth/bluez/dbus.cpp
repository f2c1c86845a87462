#include "platform/bluetooth/bluez/dbus.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace velmora::platform::bluetooth::bluez {
namespace {

const Value& Unwrapped(const Value& value) {
  return value.type == 'v' && !value.items.empty() ? value.items[0] : value;
}

// ReadOne reads the next value: 1 when read, 0 at the end of the current container, negative on error.
int ReadOne(sd_bus_message* message, Value* out) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(message, &type, &contents);
  if (r <= 0) return r;
  out->type = type;
  // A descriptor that is not read (yet) is none: a failed read must leave nothing to close.
  if (type == 'h') out->number = -1;
  switch (type) {
    case 'a':
      out->signature = std::string("a") + (contents != nullptr ? contents : "");
      break;
    case 'r':
      out->signature = std::string("(") + (contents != nullptr ? contents : "") + ")";
      break;
    case 'e':
      out->signature = std::string("{") + (contents != nullptr ? contents : "") + "}";
      break;
    default:
      out->signature = std::string(1, type);
      break;
  }
  if (type == 'a' && contents != nullptr && std::strcmp(contents, "y") == 0) {
    const void* data = nullptr;
    size_t size = 0;
    r = sd_bus_message_read_array(message, 'y', &data, &size);
    if (r < 0) return r;
    const auto* bytes = static_cast<const uint8_t*>(data);
    out->items.reserve(size);
    for (size_t i = 0; i < size; ++i) out->items.push_back(Value{'y', bytes[i], 0, {}, {}, {}});
    return 1;
  }
  if (type == 'a' || type == 'r' || type == 'e' || type == 'v') {
    r = sd_bus_message_enter_container(message, type, contents);
    if (r < 0) return r;
    for (;;) {
      Value child;
      r = ReadOne(message, &child);
      if (r == 0) break;
      // A member that failed part way is kept with what it read, so that its descriptors are closed with
      // the rest.
      out->items.push_back(std::move(child));
      if (r < 0) return r;
    }
    r = sd_bus_message_exit_container(message);
    return r < 0 ? r : 1;
  }
  union {
    uint8_t y;
    int b;
    int16_t n;
    uint16_t q;
    int32_t i;
    uint32_t u;
    int64_t x;
    uint64_t t;
    double d;
    const char* s;
  } basic{};
  r = sd_bus_message_read_basic(message, type, &basic);
  if (r < 0) return r;
  switch (type) {
    case 'y':
      out->number = basic.y;
      break;
    case 'b':
      out->number = basic.b != 0;
      break;
    case 'n':
      out->number = basic.n;
      break;
    case 'q':
      out->number = basic.q;
      break;
    case 'i':
      out->number = basic.i;
      break;
    case 'u':
      out->number = basic.u;
      break;
    case 'x':
      out->number = basic.x;
      break;
    case 't':
      out->number = static_cast<int64_t>(basic.t);
      break;
    case 'd':
      out->real = basic.d;
      break;
    case 'h':
      out->number = fcntl(basic.i, F_DUPFD_CLOEXEC, 3);
      break;
    default:
      out->text = basic.s != nullptr ? basic.s : "";
      break;
  }
  return 1;
}

void CloseFdsOf(Value& value) {
  if (value.type == 'h' && value.number >= 0) {
    close(static_cast<int>(value.number));
    value.number = -1;
  }
  for (Value& item : value.items) CloseFdsOf(item);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Bytes Value::AsBytes() const {
  const Value& value = Unwrapped(*this);
  Bytes bytes;
  if (value.type != 'a') return bytes;
  bytes.reserve(value.items.size());
  for (const Value& item : value.items) bytes.push_back(static_cast<uint8_t>(item.number));
  return bytes;
}

std::vector<std::string> Value::Texts() const {
  const Value& value = Unwrapped(*this);
  std::vector<std::string> texts;
  for (const Value& item : value.items) texts.push_back(item.text);
  return texts;
}

const Value* Value::Find(const std::string& key) const {
  const Value& dict = Unwrapped(*this);
  for (const Value& entry : dict.items) {
    if (entry.type != 'e' || entry.items.size() != 2) continue;
    const Value& k = entry.items[0];
    const bool textual = k.type == 's' || k.type == 'o';
    if (textual ? k.text == key : std::to_string(k.number) == key) return &Unwrapped(entry.items[1]);
  }
  return nullptr;
}

bool ReadAll(sd_bus_message* message, std::vector<Value>* out) {
  const size_t first = out->size();
  for (;;) {
    Value value;
    const int r = ReadOne(message, &value);
    if (r < 0) {
      // What the malformed argument held so far is dropped, its descriptors with it; the arguments read
      // before it stay, their descriptors closed (-1), so that nobody closes them again.
      std::vector<Value> dropped(1, std::move(value));
      CloseFds(dropped);
      for (size_t i = first; i < out->size(); ++i) CloseFdsOf((*out)[i]);
      return false;
    }
    if (r == 0) return true;
    out->push_back(std::move(value));
  }
}

void CloseFds(std::vector<Value>& values) {
  for (Value& value : values) CloseFdsOf(value);
}

Props PropsFrom(const Value& dict) {
  Props props;
  for (const Value& entry : Unwrapped(dict).items) {
    if (entry.type == 'e' && entry.items.size() == 2) props[entry.items[0].text] = Unwrapped(entry.items[1]);
  }
  return props;
}

Interfaces InterfacesFrom(const Value& dict) {
  Interfaces interfaces;
  for (const Value& entry : dict.items) {
    if (entry.type == 'e' && entry.items.size() == 2) interfaces[entry.items[0].text] = PropsFrom(entry.items[1]);
  }
  return interfaces;
}

int AppendStringOptions(sd_bus_message* message, const std::map<std::string, std::string>& options) {
  int r = sd_bus_message_open_container(message, 'a', "{sv}");
  for (const auto& [key, text] : options) {
    if (r >= 0) r = sd_bus_message_append(message, "{sv}", key.c_str(), "s", text.c_str());
  }
  return r < 0 ? r : sd_bus_message_close_container(message);
}

std::optional<uint64_t> ParseAddress(const std::string& text) {
  if (text.size() != 17) return std::nullopt;
  uint64_t address = 0;
  for (size_t i = 0; i < 17; i += 3) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0 || (i + 2 < 17 && text[i + 2] != ':')) return std::nullopt;
    address = (address << 8) | static_cast<uint64_t>(high * 16 + low);
  }
  return address;
}

std::optional<Guid> ParseUuid(const std::string& text) {
  // 8-4-4-4-12 hex digits.
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
    return std::nullopt;
  }
  uint8_t bytes[16];
  size_t at = 0;
  for (size_t i = 0; i < 36 && at < 16;) {
    if (text[i] == '-') {
      ++i;
      continue;
    }
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[at++] = static_cast<uint8_t>(high * 16 + low);
    i += 2;
  }
  Guid uuid;
  uuid.data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
  uuid.data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  uuid.data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(uuid.data4, bytes + 8, 8);
  return uuid;
}

std::string UuidText(const Guid& uuid) {
  const HString text = GuidText(uuid);
  return std::string(text.begin() + 1, text.end() - 1);
}

Bytes UuidLittleEndian(const Guid& uuid) {
  if (ShortIdOf(uuid)) {
    const uint32_t id = uuid.data1;
    if (id <= 0xFFFF) return {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    return {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id >> 16),
            static_cast<uint8_t>(id >> 24)};
  }
  // The text form's 16 bytes, reversed (Bluetooth Core, Vol 3 Part C 11.1.1).
  Bytes big = {static_cast<uint8_t>(uuid.data1 >> 24), static_cast<uint8_t>(uuid.data1 >> 16),
               static_cast<uint8_t>(uuid.data1 >> 8),  static_cast<uint8_t>(uuid.data1),
               static_cast<uint8_t>(uuid.data2 >> 8),  static_cast<uint8_t>(uuid.data2),
               static_cast<uint8_t>(uuid.data3 >> 8),  static_cast<uint8_t>(uuid.data3)};
  big.insert(big.end(), uuid.data4, uuid.data4 + 8);
  return Bytes(big.rbegin(), big.rend());
}

}  // namespace velmora::platform::bluetooth::bluez
