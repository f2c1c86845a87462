// Device objects, their events, and pairing through the process's org.bluez.Agent1 object.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <utility>

#include "platform/bluetooth/bluez/objects.h"

namespace velmora::platform::bluetooth::bluez {
namespace {

using Kinds = DevicePairingKinds;

// How often a running pairing is looked at, and how long a refused pairing of an open link is watched for the
// bond that the kernel's pairing may still make (its SMP time-out, Bluetooth Core Vol 3 Part H 3.4).
constexpr int64_t kPairWatchMs = 250;
constexpr int64_t kRefusedBondWatchMs = 30'000;
// A Pair refused as in progress is asked again after this pause, for as long as bluetoothd may take to answer
// a Connect.
constexpr int64_t kPairAgainMs = 500;
constexpr int kPairAgainLooks = static_cast<int>(kConnectCallUs / 1000 / kPairAgainMs);
// Why a pairing fails that may not ask bluetoothd (see BluezAgent::Ready).
constexpr char kAgentUnanswered[] = "bluetoothd gave no answer to the registration of the pairing agent";

class TextInspectable final : public Inspectable {
 public:
  explicit TextInspectable(HString text) : text_(std::move(text)) {}
  HString ToString() override { return text_; }

 private:
  const HString text_;
};

class PairingResult final : public DevicePairingResult {
 public:
  PairingResult(DevicePairingResultStatus status, HString detail) : status_(status), detail_(std::move(detail)) {}
  DevicePairingResultStatus Status() override { return status_; }
  HString Detail() override { return detail_; }

 private:
  const DevicePairingResultStatus status_;
  const HString detail_;
};

class UnpairingResult final : public DeviceUnpairingResult {
 public:
  explicit UnpairingResult(DeviceUnpairingResultStatus status, HString detail = {})
      : status_(status), detail_(std::move(detail)) {}
  DeviceUnpairingResultStatus Status() override { return status_; }
  HString Detail() override { return detail_; }

 private:
  const DeviceUnpairingResultStatus status_;
  const HString detail_;
};

class CloseResult final : public DeviceCloseResult {
 public:
  explicit CloseResult(HString detail) : detail_(std::move(detail)) {}
  bool Succeeded() override { return detail_.empty(); }
  HString Detail() override { return detail_; }

 private:
  const HString detail_;
};

// PairingRequest collects the handler's answer; answers given after the handler returned do not count.
class PairingRequest final : public DevicePairingRequestedEventArgs {
 public:
  struct Answer {
    bool given = false;
    bool with_pin = false;
    HString pin;
  };
  PairingRequest(uint32_t kind, HString pin) : kind_(kind), pin_(std::move(pin)) {}
  uint32_t PairingKind() override { return kind_; }
  HString Pin() override { return pin_; }
  void Accept() override {
    std::lock_guard lock(mutex_);
    if (open_) answer_.given = true;
  }
  void AcceptWithPin(const HString& pin) override {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    answer_ = Answer{true, true, pin};
  }
  Answer Close() {
    std::lock_guard lock(mutex_);
    open_ = false;
    return answer_;
  }

 private:
  const uint32_t kind_;
  const HString pin_;
  std::mutex mutex_;
  bool open_ = true;
  Answer answer_;
};

HString SixDigits(uint32_t passkey) {
  char text[16];
  std::snprintf(text, sizeof text, "%06u", passkey % 1000000u);
  return HString(text, text + 6);
}

std::string Narrow(const HString& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// PasskeyOf reads the application's answer to a passkey request: one to six decimal digits and nothing else,
// as a passkey is 000000 to 999999 (Bluetooth Core, Vol 3 Part H 2.3.5.3). Anything else has no value, so
// that no other number is ever sent in its place.
std::optional<uint32_t> PasskeyOf(const HString& pin) {
  if (pin.empty() || pin.size() > 6) return std::nullopt;
  uint32_t passkey = 0;
  for (char16_t c : pin) {
    if (c < u'0' || c > u'9') return std::nullopt;
    passkey = passkey * 10 + static_cast<uint32_t>(c - u'0');
  }
  return passkey;
}

const char* CapabilityFor(uint32_t kinds) {
  if ((kinds & Kinds::ProvidePin) != 0) return "KeyboardDisplay";
  if ((kinds & (Kinds::ConfirmPinMatch | Kinds::DisplayPin)) != 0) return "DisplayYesNo";
  return "NoInputNoOutput";
}

}  // namespace

// BluezPairing is a device's pairing information, its pairing interface and its custom pairing at once.
class BluezPairing final : public DeviceInformation,
                           public DeviceInformationPairing,
                           public DeviceInformationCustomPairing,
                           public std::enable_shared_from_this<BluezPairing> {
 public:
  BluezPairing(std::shared_ptr<BluezCore> core, std::string path) : core_(std::move(core)), path_(std::move(path)) {}

  std::shared_ptr<DeviceInformationPairing> Pairing() override { return shared_from_this(); }
  bool CanPair() override {
    const std::optional<Props> props = core_->PropsOf(path_, kDeviceIface);
    if (!props) return false;
    auto paired = props->find("Paired");
    return paired == props->end() || !paired->second.Bool();
  }
  // Bonded counts as well: bluetoothd tells Paired only once it has discovered the services after the bond.
  bool IsPaired() override { return BondedNow(); }
  std::shared_ptr<DeviceInformationCustomPairing> Custom() override { return shared_from_this(); }
  AsyncOp<DeviceUnpairingResult> UnpairAsync() override;
  EventToken AddPairingRequested(
      TypedEventHandler<DeviceInformationCustomPairing, DevicePairingRequestedEventArgs> handler) override {
    std::lock_guard lock(mutex_);
    return handlers_.Add(core_->NextToken(), std::move(handler));
  }
  void RemovePairingRequested(EventToken token) override {
    decltype(handlers_)::Handler removed;  // let go after the lock
    std::lock_guard lock(mutex_);
    removed = handlers_.Remove(token);
  }
  AsyncOp<DevicePairingResult> PairAsync(uint32_t kinds) override;

 private:
  // Agent is one pairing as the process's agent sees it; it lives until Pair answers, and its requests are
  // answered only while Pair runs. Bus thread.
  struct Agent final : AgentClient, std::enable_shared_from_this<Agent> {
    std::shared_ptr<BluezPairing> owner;
    uint32_t kinds = 0;
    // A Pair of this pairing is with bluetoothd, not refused as in progress: bluetoothd's requests for the
    // device are this pairing's only then (while it waits to ask again they are another's).
    bool pairing = false;
    sd_bus_message* request = nullptr;  // the agent call waiting for the application's answer
    // The pairing was asked from an event handler, which holds an event thread while it waits for it.
    bool asked_on_event_thread = false;
    bool passkey_shown = false;  // the application was asked about a DisplayPasskey of this pairing
    // A displayed PIN of this pairing is with the application, unanswered; refused once it was left
    // unaccepted.
    bool display_open = false;
    bool display_refused = false;
    // The end of the pairing, held while a displayed PIN is with the application: bluetoothd waits for no
    // answer to it, and the pairing may be over before the application has decided.
    std::function<void(Agent&)> held_end;
    bool ended = false;  // the pairing's end is known (Pair answered, or bluetoothd dropped it)
    // WatchPair's view: the link was seen up while Pair ran; looks in a row that found it bonded and gone.
    bool link_seen = false;
    int gone_looks = 0;
    // Why an answer of the application was refused; it goes with a failed pairing's result.
    std::string refusal;
    // The device was connected as the Pair that bluetoothd took began.
    bool on_open_link = false;
    // A newer pairing of the device has come: this one asks bluetoothd no more.
    bool overtaken = false;

    const std::string& DevicePath() const override { return owner->path_; }
    const char* Capability() const override { return CapabilityFor(kinds); }
    bool Pairing() const override { return pairing; }
    void Request(sd_bus_message* message, const std::string& member, const std::vector<Value>& args) override;
    void Cancel() override;
    void Overtaken() override { overtaken = true; }
    // Pending takes the request waiting for an answer; null when there is none.
    sd_bus_message* Pending() { return std::exchange(request, nullptr); }
  };
  void Ask(const std::shared_ptr<Agent>& agent, sd_bus_message* message, uint32_t kind, HString pin);
  void Answer(const std::shared_ptr<Agent>& agent, uint32_t kind, const PairingRequest::Answer& answer);
  void FinishPairing(const std::shared_ptr<Agent>& agent);
  using PairingOp = std::shared_ptr<BluezAsync<DevicePairingResult>>;
  // EndOfPair ends agent's pairing with the Pair's outcome (once: a Pair that bluetoothd dropped is not
  // answered later).
  void EndOfPair(const std::shared_ptr<Agent>& agent, const PairingOp& operation, const std::shared_ptr<LinkHold>& hold,
                 DevicePairingResultStatus status, const std::string& detail);
  // AskPair asks bluetoothd to pair; while another Connect or pairing of the device is under way it asks again
  // after a pause, at most again_left times, unless a newer pairing of the device has come meanwhile.
  void AskPair(const std::shared_ptr<Agent>& agent, const PairingOp& operation, const std::shared_ptr<LinkHold>& hold,
               int again_left);
  // AskIfStill runs AskPair once the agent is ready for an ask again (may_ask: see BluezAgent::Ready), unless
  // the pairing ended meanwhile, or a newer pairing of the device overtook it (it ends with status, the last
  // refusal's), or the agent could not be had (it fails).
  void AskIfStill(const std::shared_ptr<Agent>& agent, const PairingOp& operation,
                  const std::shared_ptr<LinkHold>& hold, int again_left, DevicePairingResultStatus status,
                  bool may_ask);
  // WatchPair looks, while agent's Pair runs, for a Pair that bluetoothd will not answer.
  void WatchPair(const std::shared_ptr<Agent>& agent, const PairingOp& operation,
                 const std::shared_ptr<LinkHold>& hold);
  // EndPairing completes operation with the Pair's outcome once the application has answered every request
  // of agent's pairing.
  void EndPairing(Agent& agent, const PairingOp& operation, const std::shared_ptr<LinkHold>& hold,
                  DevicePairingResultStatus status, const std::string& detail);
  // AwaitRefusedBond completes a refused pairing of an open link once the kernel's pairing has ended: the
  // device bonded (RejectedByHandler), the link gone, or the pairing's time up (status).
  void AwaitRefusedBond(const PairingOp& operation, const std::shared_ptr<LinkHold>& hold,
                        DevicePairingResultStatus status, const std::string& detail, int ticks_left);
  // BondedNow tells whether bluetoothd reports the device bonded (Bonded, from 5.66 on, as soon as the keys
  // are stored) or paired.
  bool BondedNow();

  std::shared_ptr<BluezCore> core_;
  const std::string path_;
  std::mutex mutex_;
  sim::EventHandlers<DeviceInformationCustomPairing, DevicePairingRequestedEventArgs> handlers_;
};

AsyncOp<DeviceUnpairingResult> BluezPairing::UnpairAsync() {
  if (core_->IsShutDown()) throw PlatformError(kRoEClosed);
  auto operation = std::make_shared<BluezAsync<DeviceUnpairingResult>>();
  auto self = shared_from_this();
  const bool posted = core_->Post([self, operation] {
    using R = DeviceUnpairingResultStatus;
    const std::string adapter = self->core_->AdapterPath();
    if (!self->IsPaired() || adapter.empty()) {
      self->core_->Complete<DeviceUnpairingResult>(operation, std::make_shared<UnpairingResult>(R::AlreadyUnpaired));
      return;
    }
    // Removing the device ends its link: that is no drop to report.
    self->core_->Quiet(self->path_);
    self->core_->RemoveDevice(
        adapter, self->path_,
        [self, operation](Reply& reply) {
          const R status = reply.Ok()                                      ? R::Unpaired
                           : reply.error == "org.bluez.Error.DoesNotExist" ? R::AlreadyUnpaired
                                                                           : R::Failed;
          if (reply.Ok()) {
            self->core_->ForgetLink(self->path_);
          } else {
            self->core_->Unquiet(self->path_);
          }
          HString detail = status == R::Failed ? ErrorDetail(reply) : HString();
          self->core_->Complete<DeviceUnpairingResult>(operation,
                                                       std::make_shared<UnpairingResult>(status, std::move(detail)));
        });
  });
  if (!posted) throw PlatformError(kRoEClosed);
  return operation;
}

bool BluezPairing::BondedNow() {
  const std::optional<Props> props = core_->PropsOf(path_, kDeviceIface);
  if (!props) return false;
  for (const char* name : {"Bonded", "Paired"}) {
    auto value = props->find(name);
    if (value != props->end() && value->second.Bool()) return true;
  }
  return false;
}

AsyncOp<DevicePairingResult> BluezPairing::PairAsync(uint32_t kinds) {
  if (core_->IsShutDown()) throw PlatformError(kRoEClosed);
  auto operation = std::make_shared<BluezAsync<DevicePairingResult>>();
  auto self = shared_from_this();
  const bool on_event_thread = core_->sim->events.IsCurrentThread();
  const bool posted = core_->Post([self, operation, kinds, on_event_thread] {
    auto agent = std::make_shared<Agent>();
    agent->owner = self;
    agent->kinds = kinds;
    agent->asked_on_event_thread = on_event_thread;
    self->core_->agent().Acquire(agent, [self, operation, agent](bool may_ask) {
      // bluetoothd itself tells a device that is gone (UnknownObject) or already paired (AlreadyExists).
      // Pair holds the link as Connect does: a link it opened for a pairing that nobody waits for any more
      // (its Connect gave up, its client went) is closed when the hold goes with its answer.
      const std::shared_ptr<LinkHold> hold = self->core_->Hold(self->path_);
      if (may_ask) {
        self->AskPair(agent, operation, hold, kPairAgainLooks);
      } else {
        self->EndOfPair(agent, operation, hold, DevicePairingResultStatus::Failed, kAgentUnanswered);
      }
      self->WatchPair(agent, operation, hold);
    });
  });
  if (!posted) throw PlatformError(kRoEClosed);
  return operation;
}

void BluezPairing::FinishPairing(const std::shared_ptr<Agent>& agent) {
  if (sd_bus_message* request = agent->Pending()) sd_bus_message_unref(request);
  core_->agent().Release(agent.get());
  agent->owner.reset();
}

void BluezPairing::EndOfPair(const std::shared_ptr<Agent>& agent, const PairingOp& operation,
                             const std::shared_ptr<LinkHold>& hold, DevicePairingResultStatus status,
                             const std::string& detail) {
  if (agent->ended) return;
  agent->ended = true;
  // A pairing that ends while it waits to ask again has no Pair that bluetoothd took: the link, if any, is
  // another's.
  const bool taken = std::exchange(agent->pairing, false);
  FinishPairing(agent);
  if (taken) core_->PairingAnswered(path_, agent->on_open_link);
  // The link stays held until the pairing's end is told.
  auto self = shared_from_this();
  auto end = [self, operation, hold, status, detail](Agent& ended) {
    self->EndPairing(ended, operation, hold, status, detail);
  };
  if (agent->display_open) {
    agent->held_end = std::move(end);
  } else {
    end(*agent);
  }
}

void BluezPairing::AskPair(const std::shared_ptr<Agent>& agent, const PairingOp& operation,
                           const std::shared_ptr<LinkHold>& hold, int again_left) {
  auto self = shared_from_this();
  // Whether the link is another's or this Pair's own is told by the link as bluetoothd takes the Pair: an
  // earlier ask may have found none, and another program's link come up since.
  agent->on_open_link = core_->Connected(path_);
  agent->pairing = true;
  core_->CallMethod(path_, kDeviceIface, "Pair", nullptr, kPairCallUs,
                    [self, agent, operation, hold, again_left](Reply& reply) {
                      // NOTE: bluetoothd refuses Pair while a Connect or a pairing of the device (another
                      // program's, or one it makes for another client) is under way (device.c, pair_device:
                      // "if (device->bonding || device->connect) return btd_error_in_progress(msg)"); the link
                      // may be up already, its Connect not yet answered. The device is being connected or
                      // paired, not unreachable: Pair is asked again once that has had its time, as a Connect
                      // is (see BluezCore::AskConnect).
                      if (reply.error == "org.bluez.Error.InProgress" && !agent->ended) {
                        // Nothing of what bluetoothd does meanwhile is this pairing's: not its requests, not a
                        // bond that another program's pairing makes (see WatchPair).
                        agent->pairing = false;
                        agent->link_seen = false;
                        agent->gone_looks = 0;
                      }
                      if (reply.error == "org.bluez.Error.InProgress" && again_left > 0 && !agent->ended &&
                          !agent->overtaken) {
                        const DevicePairingResultStatus status = PairingStatusOf(reply);
                        (void)self->core_->AddTimer(kPairAgainMs, [self, agent, operation, hold, again_left,
                                                                   status] {
                          if (agent->ended) return;
                          // bluetoothd forgets the agent when it restarts meanwhile: it is registered again
                          // before Pair is asked, or bluetoothd would pair without asking the application.
                          self->core_->agent().Renew([self, agent, operation, hold, again_left, status](bool may_ask) {
                            self->AskIfStill(agent, operation, hold, again_left - 1, status, may_ask);
                          });
                        });
                        return;
                      }
                      self->EndOfPair(agent, operation, hold, PairingStatusOf(reply),
                                      reply.Ok() ? std::string() : agent->refusal);
                    });
}

void BluezPairing::AskIfStill(const std::shared_ptr<Agent>& agent, const PairingOp& operation,
                              const std::shared_ptr<LinkHold>& hold, int again_left, DevicePairingResultStatus status,
                              bool may_ask) {
  if (agent->ended) return;
  if (!may_ask) {
    EndOfPair(agent, operation, hold, DevicePairingResultStatus::Failed, kAgentUnanswered);
    return;
  }
  // A newer pairing of the device (a later Connect's, once this one's gave up) is the one that asks now: this
  // one would take its requests.
  if (agent->overtaken) {
    EndOfPair(agent, operation, hold, status, agent->refusal);
    return;
  }
  AskPair(agent, operation, hold, again_left);
}

void BluezPairing::WatchPair(const std::shared_ptr<Agent>& agent, const PairingOp& operation,
                             const std::shared_ptr<LinkHold>& hold) {
  auto self = shared_from_this();
  (void)core_->AddTimer(kPairWatchMs, [self, agent, operation, hold] {
    if (agent->ended) return;
    if (!agent->pairing) {
      // Waiting to ask again: bluetoothd has no Pair of this pairing to drop.
      self->WatchPair(agent, operation, hold);
      return;
    }
    // NOTE: once the device is bonded, bluetoothd discovers its services with the Pair's message and answers
    // it when that discovery ends; a disconnect meanwhile (another program's, or the device's) cancels the
    // discovery and drops the message unanswered (device.c, device_request_disconnect: browse_request_cancel;
    // browse_request_free unrefs it), and Paired is not told. The bond is made: the pairing ended with it.
    // The answer that bluetoothd gives at once where it has one is given time to come (two looks).
    const bool connected = self->core_->Connected(self->path_);
    agent->link_seen = agent->link_seen || connected;
    agent->gone_looks = agent->link_seen && !connected && self->BondedNow() ? agent->gone_looks + 1 : 0;
    if (agent->gone_looks >= 2) {
      self->EndOfPair(agent, operation, hold, DevicePairingResultStatus::Paired, {});
      return;
    }
    self->WatchPair(agent, operation, hold);
  });
}

void BluezPairing::EndPairing(Agent& agent, const PairingOp& operation, const std::shared_ptr<LinkHold>& hold,
                              DevicePairingResultStatus status,
                              const std::string& detail) {
  if (agent.display_refused && status == DevicePairingResultStatus::Paired) {
    // The device's user typed the PIN that the application refused, and bluetoothd bonded the device all the
    // same: the pairing is refused, and the bond it leaves is the refused pairing's (the device reports
    // itself bonded).
    status = DevicePairingResultStatus::RejectedByHandler;
  } else if (agent.display_refused && agent.on_open_link && core_->Connected(path_) && !BondedNow()) {
    // NOTE: on a link that was up, bluetoothd pairs by raising its security, and CancelPairing answers the
    // Pair without stopping the kernel's pairing (device.c, pair_device: bt_att_set_security; a displayed
    // passkey needs no reply to cancel): the device's user may still type the passkey and bond the device
    // until the kernel's pairing times out (30 s) or the link goes.
    AwaitRefusedBond(operation, hold, status, detail, kRefusedBondWatchMs / kPairWatchMs);
    return;
  }
  core_->Complete<DevicePairingResult>(operation,
                                       std::make_shared<PairingResult>(status, HString(detail.begin(), detail.end())));
}

void BluezPairing::AwaitRefusedBond(const PairingOp& operation, const std::shared_ptr<LinkHold>& hold,
                                    DevicePairingResultStatus status, const std::string& detail, int ticks_left) {
  if (BondedNow()) {
    core_->Complete<DevicePairingResult>(
        operation, std::make_shared<PairingResult>(DevicePairingResultStatus::RejectedByHandler, HString()));
    return;
  }
  if (ticks_left <= 0 || !core_->Connected(path_)) {
    core_->Complete<DevicePairingResult>(
        operation, std::make_shared<PairingResult>(status, HString(detail.begin(), detail.end())));
    return;
  }
  auto self = shared_from_this();
  (void)core_->AddTimer(kPairWatchMs, [self, operation, hold, status, detail, ticks_left] {
    self->AwaitRefusedBond(operation, hold, status, detail, ticks_left - 1);
  });
}

void BluezPairing::Agent::Request(sd_bus_message* message, const std::string& member, const std::vector<Value>& args) {
  auto number = [&](size_t i) { return args.size() > i ? static_cast<uint32_t>(args[i].number) : 0u; };
  const std::shared_ptr<Agent> self = shared_from_this();
  if (member == "RequestConfirmation") {
    owner->Ask(self, message, Kinds::ConfirmPinMatch, SixDigits(number(1)));
  } else if (member == "DisplayPasskey") {
    // NOTE: "During the pairing process this method might be called multiple times to update the entered
    // value": the application is asked once per pairing, and the updates are only acknowledged.
    if (passkey_shown) {
      sd_bus_reply_method_return(message, "");
      return;
    }
    passkey_shown = true;
    owner->Ask(self, message, Kinds::DisplayPin, SixDigits(number(1)));
  } else if (member == "DisplayPinCode") {
    const std::string pin = args.size() > 1 ? args[1].text : "";
    owner->Ask(self, message, Kinds::DisplayPin, HString(pin.begin(), pin.end()));
  } else {
    owner->Ask(self, message, Kinds::ProvidePin, {});
  }
}

void BluezPairing::Agent::Cancel() {
  // The pending request is void, and its late answer goes nowhere.
  if (sd_bus_message* pending = Pending()) sd_bus_message_unref(pending);
}

void BluezPairing::Ask(const std::shared_ptr<Agent>& agent, sd_bus_message* message, uint32_t kind, HString pin) {
  if (sd_bus_message* earlier = agent->Pending()) sd_bus_message_unref(earlier);
  agent->request = sd_bus_message_ref(message);
  if (kind == Kinds::DisplayPin) agent->display_open = true;
  if ((agent->kinds & kind) == 0) {
    // A kind the caller does not accept is refused without asking the application.
    Answer(agent, kind, {});
    return;
  }
  std::vector<TypedEventHandler<DeviceInformationCustomPairing, DevicePairingRequestedEventArgs>> handlers;
  {
    std::lock_guard lock(mutex_);
    handlers = handlers_.List();
  }
  auto request = std::make_shared<PairingRequest>(kind, std::move(pin));
  auto self = shared_from_this();
  // The request goes to the application on the event thread, unless an event handler there waits for this
  // pairing: then on the completion thread, as it could not run before that handler returned.
  auto& handler_thread = agent->asked_on_event_thread ? core_->sim->completions : core_->sim->events;
  handler_thread.Post([self, agent, kind, request, handlers] {
    std::shared_ptr<DeviceInformationCustomPairing> sender = self;
    std::shared_ptr<DevicePairingRequestedEventArgs> args = request;
    for (const auto& handler : handlers) {
      try {
        handler(sender, args);
      } catch (...) {
        // NOTE: a handler that raises gives no answer.
      }
    }
    const PairingRequest::Answer answer = request->Close();
    (void)self->core_->Post([self, agent, kind, answer] { self->Answer(agent, kind, answer); });
  });
}

void BluezPairing::Answer(const std::shared_ptr<Agent>& agent, uint32_t kind, const PairingRequest::Answer& answer) {
  sd_bus_message* request = agent->Pending();
  const bool display = kind == Kinds::DisplayPin;
  if (display) {
    agent->display_open = false;
    if (!answer.given) {
      agent->display_refused = true;
      // A displayed PIN cannot be refused: the pairing is cancelled instead, while bluetoothd still bonds.
      // NOTE: bluetoothd waits for no answer to a displayed passkey (agent.c, agent_display_passkey sends it
      // no-reply): the device's user may have typed it already. Once the device is bonded, bluetoothd still
      // discovers its services before Pair answers, and CancelPairing then finds no pairing under way and
      // has the kernel unpair the device behind bluetoothd's back and drop its link (device.c,
      // cancel_pairing: btd_adapter_remove_bonding); the pairing is told refused instead as it ends (see
      // EndPairing), and the bond left behind goes as a refused pairing's.
      if (agent->pairing && !BondedNow()) {
        core_->CallMethod(path_, kDeviceIface, "CancelPairing", nullptr, kDefaultCallUs, [](Reply&) {});
      }
    }
    if (agent->held_end) std::exchange(agent->held_end, {})(*agent);
  }
  if (request == nullptr) return;
  const std::string member = sd_bus_message_get_member(request);
  if (display) {
    sd_bus_reply_method_return(request, "");
  } else if (!answer.given || (kind == Kinds::ProvidePin && !answer.with_pin)) {
    sd_bus_reply_method_errorf(request, "org.bluez.Error.Rejected", "Rejected by the application.");
  } else if (member == "RequestPasskey") {
    if (const std::optional<uint32_t> passkey = PasskeyOf(answer.pin)) {
      sd_bus_reply_method_return(request, "u", *passkey);
    } else {
      agent->refusal = "the PIN given is not a passkey (one to six decimal digits)";
      core_->RefuseAgentRequest(request, path_, agent->refusal);
    }
  } else if (member == "RequestPinCode") {
    sd_bus_reply_method_return(request, "s", Narrow(answer.pin).c_str());
  } else {
    sd_bus_reply_method_return(request, "");
  }
  sd_bus_message_unref(request);
}

// ---- BluezDevice

BluezDevice::BluezDevice(std::shared_ptr<BluezCore> core, std::string path, uint64_t address)
    : core_(std::move(core)),
      path_(std::move(path)),
      address_(address),
      hold_(core_->Hold(path_)),
      pairing_(std::make_shared<BluezPairing>(core_, path_)) {}

bluetooth::BluetoothAddressType BluezDevice::BluetoothAddressType() {
  const std::optional<Props> props = core_->PropsOf(path_, kDeviceIface);
  if (!props) return BluetoothAddressType::Unspecified;
  auto type = props->find("AddressType");
  if (type == props->end()) return BluetoothAddressType::Unspecified;
  return type->second.text == "random" ? BluetoothAddressType::Random : BluetoothAddressType::Public;
}

// Name is the advertised or read name; never Alias, which falls back to the address.
HString BluezDevice::Name() {
  const std::optional<Props> props = core_->PropsOf(path_, kDeviceIface);
  if (!props) return {};
  auto name = props->find("Name");
  if (name == props->end()) return {};
  return sim::Utf8ToHString(Bytes(name->second.text.begin(), name->second.text.end()));
}

BluetoothConnectionStatus BluezDevice::ConnectionStatus() {
  const std::optional<Props> props = core_->PropsOf(path_, kDeviceIface);
  if (!props) return BluetoothConnectionStatus::Disconnected;
  auto connected = props->find("Connected");
  return connected != props->end() && connected->second.Bool() ? BluetoothConnectionStatus::Connected
                                                               : BluetoothConnectionStatus::Disconnected;
}

std::shared_ptr<bluetooth::DeviceInformation> BluezDevice::DeviceInformation() { return pairing_; }

EventToken BluezDevice::AddNameChanged(Handler handler) {
  return Add(kNameChanged, std::move(handler));
}

void BluezDevice::RemoveNameChanged(EventToken token) { Remove(kNameChanged, token); }

EventToken BluezDevice::AddGattServicesChanged(Handler handler) {
  return Add(kGattServicesChanged, std::move(handler));
}

void BluezDevice::RemoveGattServicesChanged(EventToken token) { Remove(kGattServicesChanged, token); }

EventToken BluezDevice::AddConnectionStatusChanged(Handler handler) {
  return Add(kConnectionStatusChanged, std::move(handler));
}

void BluezDevice::RemoveConnectionStatusChanged(EventToken token) { Remove(kConnectionStatusChanged, token); }

EventToken BluezDevice::Add(DeviceEvent event, Handler handler) {
  std::lock_guard lock(mutex_);
  return handlers_[event].Add(core_->NextToken(), std::move(handler));
}

void BluezDevice::Remove(DeviceEvent event, EventToken token) {
  Handler removed;  // let go after the lock
  std::lock_guard lock(mutex_);
  removed = handlers_[event].Remove(token);
}

void BluezDevice::Fire(DeviceEvent event) {
  static const char16_t* const kTexts[] = {u"NameChanged", u"ConnectionStatusChanged", u"GattServicesChanged"};
  std::vector<Handler> handlers;
  {
    std::lock_guard lock(mutex_);
    handlers = handlers_[event].List();
  }
  core_->sim->Fire(std::move(handlers), std::shared_ptr<BluetoothLEDevice>(shared_from_this()),
                   std::shared_ptr<Inspectable>(std::make_shared<TextInspectable>(kTexts[event])));
}

AsyncOp<GattDeviceServicesResult> BluezDevice::GetGattServicesWithCacheModeAsync(BluetoothCacheMode) {
  return Services(std::nullopt);
}

AsyncOp<GattDeviceServicesResult> BluezDevice::GetGattServicesForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                        BluetoothCacheMode) {
  return Services(uuid);
}

AsyncOp<DeviceCloseResult> BluezDevice::CloseAsync(uint32_t timeout_ms) {
  if (core_->IsShutDown()) throw PlatformError(kRoEClosed);
  auto operation = std::make_shared<BluezAsync<DeviceCloseResult>>();
  std::shared_ptr<LinkHold> hold;
  {
    std::lock_guard lock(mutex_);
    hold.swap(hold_);
  }
  auto core = core_;
  const std::string path = path_;
  // The hold goes on the bus thread, so that the link is closed here and not by its release.
  const bool posted = core->Post([core, operation, path, hold = std::move(hold), timeout_ms]() mutable {
    core->CloseLink(path, std::move(hold), timeout_ms, [core, operation](Reply& reply) {
      core->Complete<DeviceCloseResult>(operation, std::make_shared<CloseResult>(ErrorDetail(reply)));
    });
  });
  if (!posted) throw PlatformError(kRoEClosed);
  return operation;
}

// NOTE: whether bluetoothd discovers again is its own [GATT] Cache setting; the cache mode cannot force it.
AsyncOp<GattDeviceServicesResult> BluezDevice::Services(std::optional<Guid> uuid) {
  if (core_->IsShutDown()) throw PlatformError(kRoEClosed);
  auto operation = std::make_shared<BluezAsync<GattDeviceServicesResult>>();
  auto core = core_;
  const std::string path = path_;
  std::shared_ptr<LinkHold> hold;
  {
    std::lock_guard lock(mutex_);
    if (hold_ == nullptr) hold_ = core_->Hold(path_);
    hold = hold_;
  }
  const bool posted = core->Post([core, operation, path, uuid, hold] {
    core->EnsureResolved(path, [core, operation, path, uuid, hold](bool ok) {
      if (!ok) return core->Complete<GattDeviceServicesResult>(operation, Unreachable());
      core->LogMalformed(path);
      // A secondary service is reached only through the services that include it (Bluetooth Core, Vol 3
      // Part G 2.5.1). NOTE: bluetoothd always sets Primary; a service without it is taken for primary
      // rather than lost.
      auto found = core->Children(path, kServiceIface, "Device");
      std::erase_if(found, [](const auto& service) {
        auto primary = service.second.find("Primary");
        return primary != service.second.end() && !primary->second.Bool();
      });
      auto result = std::make_shared<BluezGattResult>();
      result->services = MakeServices(core, found, uuid);
      core->Complete<GattDeviceServicesResult>(operation, result);
    });
  });
  if (!posted) throw PlatformError(kRoEClosed);
  return operation;
}

}  // namespace velmora::platform::bluetooth::bluez
