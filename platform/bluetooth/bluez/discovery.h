// The process's discovery session with bluetoothd, shared by every scan and device search of the process.
// Internal to the BlueZ backend.
//
// NOTE: bluetoothd keeps one discovery session and one discovery filter per client (bus connection), and
// this backend is one client: "Each client can request a single device discovery session per adapter", and
// "When SetDiscoveryFilter is called multiple times by the same client, last filter passed will be active".
// A StartDiscovery of a client that holds a session fails with org.bluez.Error.InProgress, and so does a
// StopDiscovery while the client's start is still being answered. So the session is held for all users at
// once: it starts with the first, its filter covers every user, and it ends with the last; one call to
// bluetoothd is under way at a time, and what changed meanwhile is done once it has been answered.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/bluetooth/bluez/dbus.h"
#include "platform/bluetooth/types.h"

namespace velmora::platform::bluetooth::bluez {

class BluezCore;

class BluezDiscovery {
 public:
  // Started tells a user that discovery runs with a filter that covers it (null), or gives bluetoothd's
  // refusal (the user is then gone).
  using Started = std::function<void(const Reply* refusal)>;

  explicit BluezDiscovery(BluezCore& core) : core_(core) {}

  // ---- Bus thread
  // Join adds a user that wants the devices advertising any of `uuids` (every device when empty) and
  // returns its id; `started` runs once, possibly before Join returns.
  uint64_t Join(std::vector<Guid> uuids, Started started);
  // Leave removes a user (an unknown or zero id is ignored); the session ends with the last user.
  void Leave(uint64_t id);
  // Search looks for the device with `address`: discovery runs until an object of it appears (done gets its
  // path) or `bound_ms` passes (done gets ""). done also gets "" when bluetoothd refuses to discover.
  void Search(uint64_t address, int64_t bound_ms, std::function<void(const std::string& path)> done);
  // DeviceSeen ends the searches for the device at `path` (any object of the adapter with that address).
  void DeviceSeen(const std::string& path, const Props& device);
  // DiscoveringChanged asks again at once for a stop that waits to be asked again, when `adapter` is the
  // session's: bluetoothd may have answered the start that made it refuse the stop.
  void DiscoveringChanged(const std::string& adapter);
  // Forget drops the session and the filter that bluetoothd no longer keeps (adapter powered off or gone,
  // bluetoothd gone) and ends every search; users that are waiting stay and start again.
  void Forget();
  // Shutdown asks bluetoothd to end a session that is held, without waiting for its answer, and ends every
  // search.
  void Shutdown();

 private:
  // kRetryMs is the pause before a StopDiscovery that bluetoothd refused as still busy is asked again; each
  // further refusal doubles it, up to kRetryMaxMs.
  static constexpr int64_t kRetryMs = 100;
  static constexpr int64_t kRetryMaxMs = 5000;

  struct User {
    std::vector<Guid> uuids;
    Started started;  // empty once called
  };
  struct Searching {
    uint64_t address = 0;
    uint64_t user = 0;
    uint64_t timer = 0;
    std::function<void(const std::string&)> done;
  };

  // Reconcile makes the next call that brings bluetoothd to what the users want, when none is under way.
  void Reconcile();
  // Filter gives the UUIDs that cover every user (empty: every device).
  std::vector<Guid> Filter() const;
  void SetFilter(const std::string& adapter, std::vector<Guid> filter);
  void Start(const std::string& adapter);
  void Stop(const std::string& adapter);
  // RetryLater asks for the stop that bluetoothd refused as busy again after a pause that grows with each
  // refusal.
  void RetryLater();
  // Discovering tells whether the cached adapter reads Discovering.
  bool Discovering(const std::string& adapter);
  // Refuse ends every user still waiting with bluetoothd's refusal.
  void Refuse(const Reply& refusal);
  void EndSearch(uint64_t id, const std::string& path);
  void EndSearches();

  BluezCore& core_;
  uint64_t next_id_ = 1;
  std::map<uint64_t, User> users_;
  std::map<uint64_t, Searching> searches_;
  bool busy_ = false;  // a call to bluetoothd is under way
  bool held_ = false;  // bluetoothd holds a session of this process
  bool unsure_ = false;  // a start or stop went unanswered: bluetoothd may hold a session not known here
  bool start_unanswered_ = false;  // a start went unanswered and no stop has been answered since
  uint64_t generation_ = 0;  // counts Forget: an answer to a call made before it tells of nothing left
  uint64_t retry_timer_ = 0;     // the timer that asks again for a stop refused as busy (0: none)
  int64_t retry_ms_ = kRetryMs;  // the pause before the next stop refused as busy is asked again
  // The adapter that the session, the filter or an unanswered call of this process is on; every call goes
  // there until nothing is left on it.
  std::string adapter_;
  std::optional<std::vector<Guid>> filter_;  // the filter bluetoothd keeps for this process
};

}  // namespace velmora::platform::bluetooth::bluez
