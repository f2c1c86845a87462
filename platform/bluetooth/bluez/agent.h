// The process's pairing agent (org.bluez.Agent1), shared by every pairing of the process. Internal to the
// BlueZ backend.
//
// NOTE: "An application can only register one agent": bluetoothd keeps one agent per client (bus
// connection), and this backend is one client. The agent is registered while any pairing runs, with the
// capability of the pairing that registered it, and each request goes to the pairing of the device it names.
#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/bluetooth/bluez/dbus.h"

namespace velmora::platform::bluetooth::bluez {

class BluezCore;

// kAgentRoot is where the agent lives; calls to any path below it reach the agent.
inline constexpr char kAgentRoot[] = "/org/velmora";
inline constexpr char kAgentPath[] = "/org/velmora/agent";

// AgentClient is one pairing under way, as the agent sees it. Bus thread.
class AgentClient {
 public:
  virtual ~AgentClient() = default;
  // DevicePath is the device being paired.
  virtual const std::string& DevicePath() const = 0;
  // Capability is the IO capability that the pairing's kinds call for (RegisterAgent's second argument).
  virtual const char* Capability() const = 0;
  // Pairing tells whether its Pair call runs; requests are answered only then.
  virtual bool Pairing() const = 0;
  // Request hands over a well-formed request of bluetoothd for the device; the client answers it.
  virtual void Request(sd_bus_message* message, const std::string& member, const std::vector<Value>& args) = 0;
  // Cancel voids the request that the client has not answered yet.
  virtual void Cancel() = 0;
  // Overtaken tells that a newer pairing of the same device has come.
  virtual void Overtaken() = 0;
};

class BluezAgent {
 public:
  explicit BluezAgent(BluezCore& core) : core_(core) {}
  BluezAgent(const BluezAgent&) = delete;
  BluezAgent& operator=(const BluezAgent&) = delete;

  // ---- Bus thread
  // Ready is told whether the pairing may ask bluetoothd now: true once the agent is registered, or once
  // bluetoothd refused it (a pairing then goes on without: Just Works needs no agent); false when bluetoothd
  // gave no answer (it left the bus, say): the bluetoothd that takes the next call would know no agent of the
  // process and pair without asking the application.
  using Ready = std::function<void(bool may_ask)>;
  // Acquire adds a pairing and runs ready once the agent is registered or could not be. The earlier pairings
  // of its device are told that they are overtaken.
  void Acquire(std::shared_ptr<AgentClient> client, Ready ready);
  // Renew runs ready as Acquire does for a pairing that is still held: at once while the agent is
  // registered, else once it is registered again (bluetoothd, restarted, has forgotten it).
  void Renew(Ready ready);
  // Release removes a pairing; the agent is unregistered with the last one.
  void Release(const AgentClient* client);
  // OnCall answers a method call to a path below kAgentRoot; 1 when handled (sd-bus callback's result).
  int OnCall(sd_bus_message* message);
  // Forget drops a registration that bluetoothd, which left the bus, no longer keeps.
  void Forget();

 private:
  enum class State { kNone, kRegistering, kRegistered, kUnregistering };
  // Update registers, unregisters or lets the waiting pairings go on, as the pairings call for.
  void Update();
  void Register();
  void Unregister();
  // LetGo runs the waiting ready callbacks with may_ask.
  void LetGo(bool may_ask);

  BluezCore& core_;
  State state_ = State::kNone;
  std::vector<std::shared_ptr<AgentClient>> clients_;  // in the order they came
  std::vector<Ready> waiting_;                         // ready callbacks of pairings not yet let go on
};

}  // namespace velmora::platform::bluetooth::bluez
