// What bluetoothd sends is checked before it is used: the signature of each reply and of each property the
// backend reads, the content of the advertising dictionaries, and the shape of the GATT object tree.
#include <cstring>
#include <string>

#include "platform/bluetooth/bluez/objects.h"

namespace velmora::platform::bluetooth::bluez {
namespace {

struct Expected {
  const char* iface;
  const char* key;
  const char* signature;
};

// The properties the backend reads, with the signature bluetoothd documents for each.
constexpr Expected kProperties[] = {
    {kAdapterIface, "Powered", "b"},
    {kAdapterIface, "Roles", "as"},
    {kDeviceIface, "Address", "s"},
    {kDeviceIface, "AddressType", "s"},
    {kDeviceIface, "Adapter", "o"},
    {kDeviceIface, "Name", "s"},
    {kDeviceIface, "Paired", "b"},
    {kDeviceIface, "Connected", "b"},
    {kDeviceIface, "ServicesResolved", "b"},
    {kDeviceIface, "RSSI", "n"},
    {kDeviceIface, "TxPower", "n"},
    {kDeviceIface, "UUIDs", "as"},
    {kDeviceIface, "ManufacturerData", "a{qv}"},
    {kDeviceIface, "ServiceData", "a{sv}"},
    {kDeviceIface, "AdvertisingFlags", "ay"},
    {kDeviceIface, "AdvertisingData", "a{yv}"},
    {kServiceIface, "UUID", "s"},
    {kServiceIface, "Primary", "b"},
    {kServiceIface, "Device", "o"},
    {kServiceIface, "Handle", "q"},
    {kServiceIface, "Includes", "ao"},
    {kCharacteristicIface, "UUID", "s"},
    {kCharacteristicIface, "Service", "o"},
    {kCharacteristicIface, "Handle", "q"},
    {kCharacteristicIface, "Value", "ay"},
    {kCharacteristicIface, "Flags", "as"},
    {kCharacteristicIface, "Notifying", "b"},
    {kCharacteristicIface, "NotifyAcquired", "b"},
    {kCharacteristicIface, "MTU", "q"},
    {kDescriptorIface, "UUID", "s"},
    {kDescriptorIface, "Characteristic", "o"},
    {kDescriptorIface, "Handle", "q"},
    {kDescriptorIface, "Value", "ay"},
};

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// DictionaryProblem checks the entries of an advertising dictionary: each value an "ay", and with
// uuid_keys each key a UUID.
std::string DictionaryProblem(const Value& dict, bool uuid_keys) {
  for (const Value& entry : dict.items) {
    if (entry.items.size() != 2 || entry.items[1].items.empty()) return "an entry without a value";
    const Value& content = entry.items[1].items[0];
    if (content.signature != "ay") {
      return "a value of signature " + Quoted(content.signature) + " where \"ay\" was expected";
    }
    if (uuid_keys && !ParseUuid(entry.items[0].text)) return "the key " + Quoted(entry.items[0].text) + ", not a UUID";
  }
  return {};
}

}  // namespace

std::string PropertyProblem(const std::string& iface, const std::string& key, const Value& value) {
  for (const Expected& expected : kProperties) {
    if (iface != expected.iface || key != expected.key) continue;
    if (value.signature != expected.signature) {
      return "signature " + Quoted(value.signature) + " where " + Quoted(expected.signature) + " was expected";
    }
    if (key == "ManufacturerData" || key == "AdvertisingData") return DictionaryProblem(value, false);
    if (key == "ServiceData") return DictionaryProblem(value, true);
    return {};
  }
  return {};
}

std::string ReplyProblem(const Reply& reply, const char* member, const char* expected) {
  if (!reply.Ok() || reply.signature == expected) return {};
  return std::string("bluetoothd answered ") + member + " with signature " + Quoted(reply.signature) + " where " +
         Quoted(expected) + " was expected.";
}

}  // namespace velmora::platform::bluetooth::bluez
