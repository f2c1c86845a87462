// A thin layer over sd-bus: D-Bus values read into a plain tree, method-call replies, and the conversions
// between BlueZ's texts (addresses, UUIDs) and the platform's values. Internal to the BlueZ backend.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/bluetooth/types.h"

struct sd_bus_message;

namespace velmora::platform::bluetooth::bluez {

// Value is one D-Bus value: `type` is its signature character ('a' array, 'r' struct, 'e' dict entry,
// 'v' variant); containers keep their members in `items` (a dict entry: key, value; a variant: its
// content). Integers of every width live in `number`, texts and object paths in `text`. A unix fd ('h')
// is a duplicate owned by whoever takes it (see TakeFd). `signature` is the value's complete D-Bus type
// ("ay", "a{qv}"); the bytes inside an "ay" leave it empty.
struct Value {
  char type = 0;
  int64_t number = 0;
  double real = 0;
  std::string text;
  std::vector<Value> items;
  std::string signature;

  bool Bool() const { return number != 0; }
  // Bytes gives the bytes of an "ay" (empty for any other value).
  Bytes AsBytes() const;
  // Texts gives the members of an "as" or "ao".
  std::vector<std::string> Texts() const;
  // Find looks a key up in a dictionary ("a{sv}", "a{qv}", ...) by its text or number; null when absent.
  // A variant value is unwrapped.
  const Value* Find(const std::string& key) const;
};

// Props is one interface's properties by name (variants unwrapped); Interfaces holds an object's interfaces.
using Props = std::map<std::string, Value>;
using Interfaces = std::map<std::string, Props>;

// ReadAll reads every remaining argument of a message; false when the message is malformed: then the
// arguments read before the malformed one stay, with their descriptors already closed (-1).
bool ReadAll(sd_bus_message* message, std::vector<Value>* out);
// CloseFds closes every unix fd among `values`, at any depth: the duplicates that ReadAll made.
void CloseFds(std::vector<Value>& values);
// PropsFrom turns an "a{sv}" value into Props.
Props PropsFrom(const Value& dict);
// InterfacesFrom turns an "a{sa{sv}}" value into Interfaces.
Interfaces InterfacesFrom(const Value& dict);

// Reply is the outcome of a method call: an error name and message, or the reply's arguments and their
// signature.
struct Reply {
  std::string error;
  std::string message;
  std::vector<Value> args;
  std::string signature;
  bool Ok() const { return error.empty(); }
};

// Appender writes a call's arguments into the message; it returns a negative errno on failure.
using Appender = std::function<int(sd_bus_message*)>;

// AppendStringOptions writes an "a{sv}" of string-valued entries (BlueZ's option dictionaries).
int AppendStringOptions(sd_bus_message* message, const std::map<std::string, std::string>& options);

// ParseAddress reads "AA:BB:CC:DD:EE:FF" into the 48 low bits; nullopt when malformed.
std::optional<uint64_t> ParseAddress(const std::string& text);
// ParseUuid reads "0000180d-0000-1000-8000-00805f9b34fb"; nullopt when malformed.
std::optional<Guid> ParseUuid(const std::string& text);
// UuidText gives the lower-case text form BlueZ uses, without braces.
std::string UuidText(const Guid& uuid);
// UuidLittleEndian gives the 2, 4 or 16 bytes of a UUID as they travel over the air (least significant
// first), the shortest form that represents it.
Bytes UuidLittleEndian(const Guid& uuid);

}  // namespace velmora::platform::bluetooth::bluez
