// Shared state of the simulated radio and the machinery every simulated object uses: the journal with
// its failing-call rules, fault rules, asynchronous operations and event delivery. Internal to the simulator.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/executor.h"
#include "platform/bluetooth/sim/sim_config.h"

namespace velmora::platform::bluetooth::sim {

class SimDevice;
class SimGattCharacteristic;
class SimWatcher;

// PeripheralState is a peripheral's configuration together with what changes at run time. The GATT values in
// config.gatt are the values on the device; `cache` is the client's cache of them.
struct PeripheralState {
  SimPeripheral config;
  std::map<uint16_t, Bytes> cache;                // by attribute handle
  std::map<uint16_t, uint16_t> cccd;              // Client Characteristic Configuration by characteristic handle
  std::weak_ptr<SimDevice> reused;                // the device object handed out when objects are reused
  std::vector<std::weak_ptr<SimDevice>> devices;  // live device objects
  std::vector<std::weak_ptr<SimGattCharacteristic>> characteristics;  // live characteristic objects
  size_t characteristics_prune_at = 0;  // size of `characteristics` at which expired entries are next dropped
};

// AttributeRef points into a peripheral's database; members not found are null.
struct AttributeRef {
  SimService* service = nullptr;
  SimCharacteristic* characteristic = nullptr;  // the characteristic, or the owner of the descriptor
  SimDescriptor* descriptor = nullptr;
};
AttributeRef FindAttribute(SimGattDb& db, uint16_t handle);

// Forgets expired entries so that lists of live objects only grow with live objects.
template <class T>
void PruneExpired(std::vector<std::weak_ptr<T>>& list) {
  std::erase_if(list, [](const std::weak_ptr<T>& item) { return item.expired(); });
}

// PruneExpiredWhenGrown prunes only once the list has doubled since the last pruning, so that a list added
// to by many requests is walked a constant number of times per entry.
template <class T>
void PruneExpiredWhenGrown(std::vector<std::weak_ptr<T>>& list, size_t& prune_at) {
  if (list.size() < prune_at) return;
  PruneExpired(list);
  prune_at = 2 * list.size() + 16;
}

// PruneExpiredWhenGrown for a registry of such lists by key: once it has doubled since the last pruning, each
// list drops its expired entries and a key left with none goes.
template <class Key, class T>
void PruneExpiredWhenGrown(std::map<Key, std::vector<std::weak_ptr<T>>>& registry, size_t& prune_at) {
  if (registry.size() < prune_at) return;
  for (auto it = registry.begin(); it != registry.end();) {
    PruneExpired(it->second);
    it = it->second.empty() ? registry.erase(it) : std::next(it);
  }
  prune_at = 2 * registry.size() + 16;
}

// EventHandlers is one event's handlers on one object, each with the token that removes it, in the order
// added. The object's lock guards it.
template <class S, class A>
class EventHandlers {
 public:
  using Handler = TypedEventHandler<S, A>;

  EventToken Add(EventToken token, Handler handler) {
    entries_.emplace_back(token.value, std::move(handler));
    return token;
  }
  // Remove takes out the handler of token (nothing for an unknown token) and hands it back, so that the
  // caller lets it go after its lock: whatever the handler holds goes with it.
  Handler Remove(EventToken token) {
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
      if (entry->first != token.value) continue;
      Handler removed = std::move(entry->second);
      entries_.erase(entry);
      return removed;
    }
    return {};
  }
  // List copies the handlers, for an event to take with it.
  std::vector<Handler> List() const {
    std::vector<Handler> handlers;
    handlers.reserve(entries_.size());
    for (const auto& entry : entries_) handlers.push_back(entry.second);
    return handlers;
  }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

 private:
  std::vector<std::pair<int64_t, Handler>> entries_;
};

// SimAsyncOperation is the simulator's asynchronous operation: finished once by Finish, from any thread.
template <class T>
class SimAsyncOperation final : public AsyncOperation<T> {
 public:
  using Handler = typename AsyncOperation<T>::CompletedHandler;

  void SetCompleted(Handler handler) override {
    std::unique_lock lock(mutex_);
    if (has_handler_) throw PlatformError(kEIllegalDelegateAssignment);
    has_handler_ = true;
    if (status_ == AsyncStatus::Started) {
      handler_ = std::move(handler);
      return;
    }
    const AsyncStatus status = status_;
    lock.unlock();
    Invoke(handler, status);
  }

  std::shared_ptr<T> GetResults() override {
    std::lock_guard lock(mutex_);
    if (status_ == AsyncStatus::Started) throw PlatformError(kEIllegalMethodCall);
    if (failure_ != 0) throw PlatformError(failure_, detail_.c_str());
    return result_;
  }

  AsyncStatus Status() override {
    std::lock_guard lock(mutex_);
    return status_;
  }

  // Finish stores the outcome (failure != 0: GetResults raises it, with detail) and runs the handler on
  // this thread.
  void Finish(std::shared_ptr<T> result, int32_t failure, std::string detail = {}) {
    Handler handler;
    AsyncStatus status;
    {
      std::lock_guard lock(mutex_);
      if (status_ != AsyncStatus::Started) return;
      result_ = std::move(result);
      failure_ = failure;
      detail_ = std::move(detail);
      status_ = status = failure != 0 ? AsyncStatus::Error : AsyncStatus::Completed;
      handler.swap(handler_);
    }
    if (handler) Invoke(handler, status);
  }

 private:
  void Invoke(Handler& handler, AsyncStatus status) {
    try {
      handler(*this, status);
    } catch (...) {
      // NOTE: a completion handler that raises does not reach the platform's thread; it is dropped.
    }
  }

  std::mutex mutex_;
  Handler handler_;
  bool has_handler_ = false;
  AsyncStatus status_ = AsyncStatus::Started;
  std::shared_ptr<T> result_;
  int32_t failure_ = 0;
  std::string detail_;
};

// SimReportBuffer holds the order of the reports one watcher has waiting for the event threads and bounds
// them as a controller's report buffer does: past its capacity the oldest waiting report gives way to the
// new one, so that a host that falls behind gets the newest reports once it catches up, not a backlog that
// has gone stale meanwhile. Any thread.
class SimReportBuffer final : public std::enable_shared_from_this<SimReportBuffer> {
 public:
  explicit SimReportBuffer(size_t capacity) : capacity_(capacity) {}

  // Post queues `deliver` on `events` as the newest report, first cancelling the oldest waiting one when
  // the buffer is full.
  void Post(Executor& events, std::function<void()> deliver);

 private:
  // Take tells whether report `number` is still wanted and forgets it: false once it gave way.
  bool Take(uint64_t number);

  std::mutex mutex_;
  const size_t capacity_;
  uint64_t next_number_ = 0;
  std::deque<std::pair<uint64_t, Executor::TaskId>> waiting_;  // by number, the oldest first
};

class SimCore {
 public:
  explicit SimCore(int event_threads) : events(event_threads), completions(1) {}

  // Call records one platform call in the journal and raises the failure of a matching FailCall rule.
  // Returns with `mutex` held, so that the caller reads the state it answers from under the same lock.
  std::unique_lock<std::mutex> Call(SimCall call);
  // Journal appends call to the journal (nothing with a limit of 0), dropping the oldest past the limit.
  void Journal(SimCall&& call);

  // TakeFault returns the fault rule for one operation (a default, do-nothing rule when none matches) and
  // uses it up; *rule_id receives its id (0 for the default). Caller holds `mutex`.
  SimFault TakeFault(SimOp op, uint64_t address, uint16_t handle, int* rule_id);

  // Schedule runs `finish` as the fault says: at once, later on the completion thread, or on Release.
  void Schedule(const SimFault& fault, int rule_id, std::function<void()> finish);

  // Start makes an operation that finishes with produce(fault), run when the fault schedules it.
  template <class T>
  AsyncOp<T> Start(SimOp op, uint64_t address, uint16_t handle,
                   std::function<std::shared_ptr<T>(const SimFault&)> produce) {
    auto operation = std::make_shared<SimAsyncOperation<T>>();
    int rule_id = 0;
    SimFault fault;
    {
      std::lock_guard lock(mutex);
      fault = TakeFault(op, address, handle, &rule_id);
    }
    Schedule(fault, rule_id, [operation, produce = std::move(produce), fault] {
      operation->Finish(fault.null_result ? nullptr : produce(fault), fault.results_hresult);
    });
    return operation;
  }

  // PostEvent runs task on the event thread like an event; what it raises stays there.
  void PostEvent(std::function<void()> task) {
    events.Post([task = std::move(task)] {
      try {
        task();
      } catch (...) {
        // NOTE: as for an event handler: nothing reaches the platform's thread.
      }
    });
  }

  // Fire delivers an event to a copy of the handler list on the event thread. The queued event holds its
  // sender weakly and is dropped once nobody else holds it: an object its owner let go of fires no more, as
  // on a real platform, rather than being kept alive, and firing, by its own events waiting behind a busy
  // event thread. An event without a sender (null) goes out as it is.
  // An advertisement report goes through its watcher's `reports` buffer, which may drop it for a newer one.
  template <class S, class A>
  void Fire(std::vector<TypedEventHandler<S, A>> handlers, const std::shared_ptr<S>& sender, std::shared_ptr<A> args,
            const std::shared_ptr<SimReportBuffer>& reports = nullptr) {
    if (handlers.empty()) return;
    auto deliver = [handlers = std::move(handlers), weak = std::weak_ptr<S>(sender), has_sender = sender != nullptr,
                    args = std::move(args)] {
      const std::shared_ptr<S> sender = weak.lock();
      if (has_sender && sender == nullptr) return;
      for (const auto& handler : handlers) {
        try {
          handler(sender, args);
        } catch (...) {
          // NOTE: an event handler that raises does not reach the platform's thread; it is dropped.
        }
      }
    };
    if (reports != nullptr) {
      reports->Post(events, std::move(deliver));
    } else {
      events.Post(std::move(deliver));
    }
  }

  std::shared_ptr<PeripheralState> Peripheral(uint64_t address);  // caller holds `mutex`
  EventToken NextToken() { return EventToken{++last_token_}; }    // caller holds `mutex`

  struct FailRule {
    std::string api;
    int32_t hresult;
    int remaining;  // -1: always
  };
  struct FaultRule {
    int id;
    SimFault fault;
  };

  std::mutex mutex;  // guards everything below and the state of every simulated object
  Executor events;
  Executor completions;
  bool shut_down = false;
  SimAdapter adapter = SimAdapter::kPresent;
  int64_t watcher_start_delay_ms = 0;  // -1: never, until ForceWatchersStarted
  int64_t watcher_stop_delay_ms = 0;
  std::map<uint64_t, std::shared_ptr<PeripheralState>> peripherals;
  std::vector<std::weak_ptr<SimWatcher>> watchers;
  size_t next_watcher = 0;  // the watcher that the next advertising event reaches first
  std::deque<SimCall> journal;
  // The journal keeps the most recent calls only, so that a long-running scenario does not grow without end.
  size_t journal_limit = 100000;
  std::vector<FailRule> fail_rules;
  std::vector<FaultRule> faults;
  std::map<int, std::vector<std::function<void()>>> held;
  // Rules that Release has ended: an operation that one of them matched, but whose hold had not yet begun
  // when Release came, finishes as usual.
  std::set<int> released;
  int next_rule_id = 1;

 private:
  int64_t last_token_ = 0;
};

// TimestampMs is the event time stamp: milliseconds of the monotonic clock.
inline int64_t TimestampMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Utf8ToHString converts the simulator's UTF-8 texts to platform texts; malformed bytes become U+FFFD.
HString Utf8ToHString(const Bytes& utf8);

}  // namespace velmora::platform::bluetooth::sim
