// Connecting to a server by its Bluetooth address, pairing with it, and the server id text.
#pragma once

#include <cstdint>

namespace velmora::ble {

// kConnectionFailed is the code of a Connect that found no device or whose pairing failed.
constexpr int kConnectionFailed = 604;

// The pairing kinds Connect accepts: ConfirmOnly, DisplayPin, ProvidePin and ConfirmPinMatch. Every kind the
// PairingRequest event can answer is requested, DisplayPin included: a device that pairs only by a PIN shown
// to the user could not pair otherwise.
constexpr uint32_t kRequestedPairingKinds = 15;

// IsServerIdText is true when text is exactly 12 hex digits (either case): the form of a Bluetooth address
// that Connect accepts. Null is false.
bool IsServerIdText(const char* text);

// ParseBluetoothAddress ORs the address written in text (six hex pairs, most significant byte first) into
// *address, which the caller sets to 0. A pair that is not two hex digits counts as 0xFF. Reading stops at
// the end of text: a short text never reads past its terminating NUL, its missing pairs counting as 0xFF.
// Returns 0.
int ParseBluetoothAddress(const char* text, uint64_t* address);

}  // namespace velmora::ble
