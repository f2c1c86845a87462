#include "platform/bluetooth/bluez/discovery.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <utility>

#include "platform/bluetooth/bluez/bluez_core.h"

namespace velmora::platform::bluetooth::bluez {
namespace {

// kEveryRssi is the lowest RSSI threshold a discovery filter takes (Adapter.rst, SetDiscoveryFilter): it
// passes every device.
constexpr int16_t kEveryRssi = -127;

int AppendDiscoveryFilter(sd_bus_message* message, const std::vector<Guid>& uuids) {
  int r = sd_bus_message_open_container(message, 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_append(message, "{sv}", "Transport", "s", "le");
  if (r >= 0) r = sd_bus_message_append(message, "{sv}", "DuplicateData", "b", 1);
  // NOTE: during discovery bluetoothd reports a new RSSI only when it moved by 8 dBm or more, unless some
  // client's filter sets RSSI or Pathloss (Adapter.rst: "During discovery RSSI delta-threshold is imposed";
  // adapter.c, discovery_filter_has_proximity; device.c, RSSI_THRESHOLD). A threshold that filters nothing
  // lifts it, so that every advertisement heard is reported.
  if (r >= 0) r = sd_bus_message_append(message, "{sv}", "RSSI", "n", kEveryRssi);
  if (r >= 0) r = sd_bus_message_open_container(message, 'e', "sv");
  if (r >= 0) r = sd_bus_message_append(message, "s", "UUIDs");
  if (r >= 0) r = sd_bus_message_open_container(message, 'v', "as");
  if (r >= 0) r = sd_bus_message_open_container(message, 'a', "s");
  for (const Guid& uuid : uuids) {
    if (r >= 0) r = sd_bus_message_append(message, "s", UuidText(uuid).c_str());
  }
  for (int i = 0; i < 4 && r >= 0; ++i) r = sd_bus_message_close_container(message);
  return r;
}

// Unanswered tells a call whose answer never came (sd-bus gave up waiting): bluetoothd may have done it.
bool Unanswered(const Reply& reply) { return reply.error == "org.freedesktop.DBus.Error.NoReply"; }

bool SameUuids(const std::vector<Guid>& a, const std::vector<Guid>& b) {
  auto in_b = [&b](const Guid& uuid) { return std::find(b.begin(), b.end(), uuid) != b.end(); };
  return a.size() == b.size() && std::all_of(a.begin(), a.end(), in_b);
}

}  // namespace

uint64_t BluezDiscovery::Join(std::vector<Guid> uuids, Started started) {
  const uint64_t id = next_id_++;
  users_[id] = User{std::move(uuids), std::move(started)};
  Reconcile();
  return id;
}

void BluezDiscovery::Leave(uint64_t id) {
  if (users_.erase(id) != 0) Reconcile();
}

std::vector<Guid> BluezDiscovery::Filter() const {
  // bluetoothd passes a device that advertises any UUID of the filter, and an empty list passes every device.
  std::vector<Guid> filter;
  for (const auto& [id, user] : users_) {
    if (user.uuids.empty()) return {};
    for (const Guid& uuid : user.uuids) {
      if (std::find(filter.begin(), filter.end(), uuid) == filter.end()) filter.push_back(uuid);
    }
  }
  return filter;
}

void BluezDiscovery::Reconcile() {
  if (busy_) return;
  // The session's calls all go to the adapter it started on, even when another adapter came or went since;
  // only with nothing of this process left on it does the adapter in use now take its place.
  if (!adapter_.empty() && !core_.PropsOf(adapter_, kAdapterIface)) {
    // The adapter went, and what this process had on it with it.
    held_ = unsure_ = start_unanswered_ = false;
    filter_.reset();
  }
  if (!held_ && !unsure_ && !filter_) adapter_ = core_.AdapterPath();
  const std::string adapter = adapter_;
  if (users_.empty()) {
    // A start whose answer never came may have started a session after all (bluetoothd answered late): it
    // is stopped too. While bluetoothd still works on that start, the stop is refused as busy and asked
    // again; without a session it fails ("No discovery started"), which settles it as well.
    // A stop that bluetoothd refused as busy is asked again when its pause is over, not sooner.
    if ((held_ || start_unanswered_) && !adapter.empty() && retry_timer_ == 0) Stop(adapter);
    return;
  }
  if (adapter.empty()) {
    Refuse(Reply{"org.freedesktop.DBus.Error.UnknownObject", "No Bluetooth adapter.", {}, {}});
    return;
  }
  std::vector<Guid> filter = Filter();
  if (!filter_ || !SameUuids(*filter_, filter)) return SetFilter(adapter, std::move(filter));
  if (!held_) return Start(adapter);
  // Discovery runs with a filter that covers every user: those that wait have started.
  std::vector<Started> ready;
  for (auto& [id, user] : users_) {
    if (user.started) ready.push_back(std::exchange(user.started, nullptr));
  }
  for (Started& started : ready) started(nullptr);
}

void BluezDiscovery::SetFilter(const std::string& adapter, std::vector<Guid> filter) {
  busy_ = true;
  core_.CallMethod(
      adapter, kAdapterIface, "SetDiscoveryFilter",
      [filter](sd_bus_message* message) { return AppendDiscoveryFilter(message, filter); }, kDefaultCallUs,
      [this, filter, generation = generation_](Reply& reply) {
        busy_ = false;
        // Forgotten meanwhile: the filter went with the adapter (or bluetoothd).
        if (generation != generation_) return Reconcile();
        if (reply.Ok()) {
          filter_ = filter;
        } else {
          Refuse(reply);
          // A session that runs keeps the filter bluetoothd had; it is not asked for again. Without one, the
          // next start sets the filter first.
          if (held_) {
            filter_ = filter;
          } else {
            filter_.reset();
          }
        }
        Reconcile();
      });
}

// NOTE: bluetoothd answers a StartDiscovery with InProgress "Operation already in progress" both when its
// client holds a session already (adapter.c, start_discovery) and when the kernel refused to start discovery
// (a busy controller, a discovery run by another program through the kernel): then it drops the client and
// holds no session for it (adapter.c, start_discovery_complete, discovery_complete: btd_error_busy, then
// discovery_remove). With one call at a time, this process holds a session it does not know of only after
// an answer of its own went missing; only then, and only while the adapter is Discovering, does InProgress
// tell of a session of this process.
void BluezDiscovery::Start(const std::string& adapter) {
  busy_ = true;
  core_.CallMethod(adapter, kAdapterIface, "StartDiscovery", nullptr, kDefaultCallUs,
                   [this, adapter, generation = generation_](Reply& reply) {
                     busy_ = false;
                     if (generation != generation_) {
                       // Forgotten meanwhile (the adapter powered off or gone): bluetoothd holds no session
                       // there. Users still waiting start again.
                       return Reconcile();
                     }
                     if (reply.Ok() ||
                         (reply.error == "org.bluez.Error.InProgress" && unsure_ && Discovering(adapter))) {
                       held_ = true;
                       unsure_ = false;
                       start_unanswered_ = false;
                       // A session taken over (InProgress) may still be one whose stop bluetoothd refuses.
                       if (reply.Ok()) retry_ms_ = kRetryMs;
                     } else {
                       unsure_ |= Unanswered(reply);
                       start_unanswered_ |= Unanswered(reply);
                       filter_.reset();
                       Refuse(reply);
                     }
                     Reconcile();
                   });
}

bool BluezDiscovery::Discovering(const std::string& adapter) {
  const std::optional<Props> props = core_.PropsOf(adapter, kAdapterIface);
  if (!props) return false;
  auto discovering = props->find("Discovering");
  return discovering != props->end() && discovering->second.Bool();
}

void BluezDiscovery::Stop(const std::string& adapter) {
  busy_ = true;
  core_.CallMethod(adapter, kAdapterIface, "StopDiscovery", nullptr, kDefaultCallUs,
                   [this, generation = generation_](Reply& reply) {
                     busy_ = false;
                     if (generation != generation_) return Reconcile();
                     if (reply.error == "org.bluez.Error.InProgress") {
                       RetryLater();
                       return;
                     }
                     retry_ms_ = kRetryMs;
                     // Stopped, or no session to stop ("No discovery started", a powered-off adapter):
                     // bluetoothd drops the filter with the session. A stop that went unanswered may have
                     // left the session behind; it is not asked again of a bluetoothd that does not answer,
                     // and the next start tells (see Start).
                     held_ = false;
                     unsure_ = Unanswered(reply);
                     start_unanswered_ = false;
                     filter_.reset();
                     Reconcile();
                   });
}

// NOTE: a stop refused as busy means that bluetoothd still answers an earlier call of this process (one
// whose answer came too late here), and it may never: it keeps one start's answer per adapter, and when
// another program's StartDiscovery comes while this process's start still waits for the kernel, only that
// later start is answered (adapter.c, start_discovery: adapter->client = client; discovery_complete). The
// process's session then runs, and every StopDiscovery of it is refused as busy while the process stays on
// the bus (stop_discovery: client->msg; only discovery_disconnect ends it). So the stop is asked again
// ever more rarely, and at once when the adapter's Discovering changes, as it does when a start that
// bluetoothd worked on is answered.
void BluezDiscovery::RetryLater() {
  core_.CancelTimer(retry_timer_);
  retry_timer_ = core_.AddTimer(retry_ms_, [this] {
    retry_timer_ = 0;
    Reconcile();
  });
  retry_ms_ = std::min(2 * retry_ms_, kRetryMaxMs);
}

void BluezDiscovery::DiscoveringChanged(const std::string& adapter) {
  if (retry_timer_ == 0 || adapter != adapter_) return;
  core_.CancelTimer(std::exchange(retry_timer_, 0));
  Reconcile();
}

void BluezDiscovery::Refuse(const Reply& refusal) {
  std::vector<Started> refused;
  for (auto it = users_.begin(); it != users_.end();) {
    if (!it->second.started) {
      ++it;
      continue;
    }
    refused.push_back(std::move(it->second.started));
    it = users_.erase(it);
  }
  for (Started& started : refused) started(&refusal);
}

void BluezDiscovery::Search(uint64_t address, int64_t bound_ms, std::function<void(const std::string& path)> done) {
  const uint64_t id = next_id_++;
  searches_[id] = Searching{address, 0, core_.AddTimer(bound_ms, [this, id] { EndSearch(id, {}); }), std::move(done)};
  const uint64_t user = Join({}, [this, id](const Reply* refusal) {
    if (refusal != nullptr) EndSearch(id, {});
  });
  auto search = searches_.find(id);
  if (search != searches_.end()) search->second.user = user;
}

void BluezDiscovery::DeviceSeen(const std::string& path, const Props& device) {
  auto address = device.find("Address");
  auto adapter = device.find("Adapter");
  if (address == device.end() || searches_.empty()) return;
  const std::optional<uint64_t> parsed = ParseAddress(address->second.text);
  if (!parsed || (adapter != device.end() && adapter->second.text != core_.AdapterPath())) return;
  std::vector<uint64_t> found;
  for (const auto& [id, search] : searches_) {
    if (search.address == *parsed) found.push_back(id);
  }
  for (uint64_t id : found) EndSearch(id, path);
}

void BluezDiscovery::EndSearch(uint64_t id, const std::string& path) {
  auto found = searches_.find(id);
  if (found == searches_.end()) return;
  Searching search = std::move(found->second);
  searches_.erase(found);
  core_.CancelTimer(search.timer);
  Leave(search.user);
  search.done(path);
}

void BluezDiscovery::Forget() {
  ++generation_;
  core_.CancelTimer(std::exchange(retry_timer_, 0));
  retry_ms_ = kRetryMs;
  held_ = false;
  unsure_ = false;
  start_unanswered_ = false;
  filter_.reset();
  EndSearches();
}

void BluezDiscovery::EndSearches() {
  std::vector<uint64_t> ids;
  for (const auto& [id, search] : searches_) ids.push_back(id);
  for (uint64_t id : ids) EndSearch(id, {});
}

void BluezDiscovery::Shutdown() {
  // A start still being answered is refused a stop; bluetoothd ends that session when the bus connection
  // closes.
  if ((held_ || busy_) && !adapter_.empty()) {
    core_.CallMethod(adapter_, kAdapterIface, "StopDiscovery", nullptr, kDefaultCallUs, [](Reply&) {});
  }
  held_ = false;
  EndSearches();
}

}  // namespace velmora::platform::bluetooth::bluez
