#include "platform/bluetooth/bluez/agent.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/bluetooth/bluez/bluez_core.h"

namespace velmora::platform::bluetooth::bluez {
namespace {

// RequestProblem says why a request is refused whatever device it names: a kind no pairing kind covers, or
// arguments of the wrong types. Empty when it may be answered.
std::string RequestProblem(const std::string& member, const char* signature) {
  static const std::pair<const char*, const char*> kRequests[] = {
      {"RequestConfirmation", "ou"}, {"DisplayPasskey", "ouq"}, {"DisplayPinCode", "os"},
      {"RequestPasskey", "o"},       {"RequestPinCode", "o"},
  };
  const char* expected = nullptr;
  for (const auto& [name, args] : kRequests) {
    if (member == name) expected = args;
  }
  if (expected == nullptr) return "the library grants no authorizations";
  if (signature == nullptr || std::strcmp(signature, expected) != 0) {
    return std::string("its arguments have signature \"") + (signature != nullptr ? signature : "") +
           "\" where \"" + expected + "\" was expected";
  }
  return {};
}

// LeadingPath gives the object path that a call's arguments start with, empty when they start otherwise.
std::string LeadingPath(sd_bus_message* message) {
  const char* signature = sd_bus_message_get_signature(message, 1);
  const char* path = nullptr;
  if (signature == nullptr || signature[0] != 'o' || sd_bus_message_read_basic(message, 'o', &path) < 0 ||
      path == nullptr) {
    return {};
  }
  return path;
}

}  // namespace

void BluezAgent::Acquire(std::shared_ptr<AgentClient> client, Ready ready) {
  for (const auto& earlier : clients_) {
    if (earlier->DevicePath() == client->DevicePath()) earlier->Overtaken();
  }
  clients_.push_back(std::move(client));
  Renew(std::move(ready));
}

void BluezAgent::Renew(Ready ready) {
  waiting_.push_back(std::move(ready));
  Update();
}

void BluezAgent::Release(const AgentClient* client) {
  std::erase_if(clients_, [client](const auto& held) { return held.get() == client; });
  Update();
}

void BluezAgent::Update() {
  if (state_ == State::kRegistering || state_ == State::kUnregistering) return;  // its answer updates
  if (state_ == State::kRegistered && clients_.empty()) return Unregister();
  if (state_ == State::kNone && !waiting_.empty()) return Register();
  LetGo(true);
}

void BluezAgent::LetGo(bool may_ask) {
  std::vector<Ready> ready;
  ready.swap(waiting_);
  for (auto& go_on : ready) go_on(may_ask);
}

void BluezAgent::Register() {
  state_ = State::kRegistering;
  const std::string capability = clients_.empty() ? "NoInputNoOutput" : clients_.front()->Capability();
  core_.CallMethod(
      "/org/bluez", "org.bluez.AgentManager1", "RegisterAgent",
      [capability](sd_bus_message* message) {
        return sd_bus_message_append(message, "os", kAgentPath, capability.c_str());
      },
      kDefaultCallUs,
      [this](Reply& reply) {
        // AlreadyExists: bluetoothd keeps this process's agent from before.
        if (reply.Ok() || reply.error == "org.bluez.Error.AlreadyExists") {
          state_ = State::kRegistered;
        } else {
          // Refused by bluetoothd: without an agent it may still pair (Just Works); the outcome tells. The
          // pairings that waited go on without one. An answer that is not bluetoothd's (no reply: it left the
          // bus, or the bus knows no bluetoothd) refuses nothing: the pairings that waited do not ask.
          state_ = State::kNone;
          LetGo(reply.error.rfind("org.bluez.Error.", 0) == 0);
        }
        Update();
      });
}

void BluezAgent::Unregister() {
  state_ = State::kUnregistering;
  core_.CallMethod(
      "/org/bluez", "org.bluez.AgentManager1", "UnregisterAgent",
      [](sd_bus_message* message) { return sd_bus_message_append(message, "o", kAgentPath); }, kDefaultCallUs,
      [this](Reply&) {
        state_ = State::kNone;
        Update();
      });
}

void BluezAgent::Forget() {
  if (state_ == State::kRegistered) state_ = State::kNone;
}

int BluezAgent::OnCall(sd_bus_message* message) {
  if (!sd_bus_message_is_method_call(message, kAgentIface, nullptr)) return 0;
  const std::string member = sd_bus_message_get_member(message);
  // Any program on the bus may call the agent; only bluetoothd is answered. Of another's call only the
  // device path it names is read: reading all of it would duplicate any descriptor it carries.
  const char* sender = sd_bus_message_get_sender(message);
  if (sender == nullptr || sender != core_.BluezOwner()) {
    core_.RefuseAgentRequest(message, LeadingPath(message), "it does not come from bluetoothd");
    return 1;
  }
  std::vector<Value> args;
  (void)ReadAll(message, &args);
  // No request of bluetoothd carries a descriptor; one that does is refused below for its signature.
  CloseFds(args);
  const std::string device = !args.empty() && args[0].type == 'o' ? args[0].text : std::string();
  if (member == "Release") {
    sd_bus_reply_method_return(message, "");
    return 1;
  }
  if (member == "Cancel") {
    // bluetoothd has one request of an agent under way at a time; Cancel names no device.
    const std::vector<std::shared_ptr<AgentClient>> clients = clients_;
    for (const auto& client : clients) client->Cancel();
    sd_bus_reply_method_return(message, "");
    return 1;
  }
  std::string why = RequestProblem(member, sd_bus_message_get_signature(message, 1));
  std::shared_ptr<AgentClient> client;
  if (why.empty()) {
    for (const auto& candidate : clients_) {
      if (candidate->DevicePath() == device && (client == nullptr || (!client->Pairing() && candidate->Pairing()))) {
        client = candidate;
      }
    }
    if (client == nullptr) {
      why = clients_.empty() ? "no pairing is under way" : "it is not the device being paired";
    } else if (!client->Pairing()) {
      why = "no pairing is under way";
    }
  }
  if (!why.empty()) {
    core_.RefuseAgentRequest(message, device, why);
    return 1;
  }
  client->Request(message, member, args);
  return 1;
}

}  // namespace velmora::platform::bluetooth::bluez
