#include "platform/bluetooth/sim/executor.h"

#include <chrono>

namespace velmora::platform::bluetooth::sim {
namespace {

thread_local const Executor* t_current = nullptr;

int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Executor::Executor(int threads) {
  if (threads < 1) threads = 1;
  workers_.reserve(static_cast<size_t>(threads));
  for (int i = 0; i < threads; ++i) workers_.emplace_back([state = state_, this] { Work(state, this); });
}

Executor::TaskId Executor::PostMicros(std::function<void()> task, int64_t delay_us, bool background) {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  const TaskId id(NowMicros() + (delay_us > 0 ? delay_us : 0), s.sequence++);
  if (s.stopping) return id;
  s.queue.emplace(id, Task{std::move(task), background});
  if (!background) {
    ++s.foreground_queued;
    ++s.foreground_posted;
  }
  s.wake.notify_one();
  return id;
}

std::function<void()> Executor::Cancel(TaskId id) {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  auto found = s.queue.find(id);
  if (found == s.queue.end()) return nullptr;
  Task task = std::move(found->second);
  s.queue.erase(found);
  if (!task.background && --s.foreground_queued == 0 && s.running == 0) s.idle.notify_all();
  return std::move(task.run);
}

void Executor::WaitIdle() {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  s.idle.wait(lock, [&s] { return s.stopping || (s.foreground_queued == 0 && s.running == 0); });
}

uint64_t Executor::ForegroundPosted() {
  std::lock_guard lock(state_->mutex);
  return state_->foreground_posted;
}

bool Executor::IsIdle() {
  std::lock_guard lock(state_->mutex);
  return state_->foreground_queued == 0 && state_->running == 0;
}

size_t Executor::Queued() {
  std::lock_guard lock(state_->mutex);
  return state_->queue.size();
}

bool Executor::IsCurrentThread() const { return t_current == this; }

void Executor::Shutdown() {
  std::map<TaskId, Task> dropped;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    dropped.swap(state_->queue);
    state_->foreground_queued = 0;
  }
  state_->wake.notify_all();
  state_->idle.notify_all();
  dropped.clear();  // outside the lock: a task may own the last reference to anything
  for (std::thread& worker : workers_) {
    // NOTE: when the last owner lets go from inside one of our own tasks, that worker cannot join itself;
    // it is detached and ends by itself right after the task, touching only the shared state.
    if (worker.get_id() == std::this_thread::get_id()) {
      worker.detach();
    } else if (worker.joinable()) {
      worker.join();
    }
  }
  workers_.clear();
}

void Executor::Work(const std::shared_ptr<State>& state, const Executor* owner) {
  t_current = owner;
  State& s = *state;
  std::unique_lock lock(s.mutex);
  while (!s.stopping) {
    if (s.queue.empty()) {
      s.wake.wait(lock);
      continue;
    }
    const int64_t due = s.queue.begin()->first.first;
    const int64_t now = NowMicros();
    if (due > now) {
      s.wake.wait_for(lock, std::chrono::microseconds(due - now));
      continue;
    }
    Task task = std::move(s.queue.begin()->second);
    s.queue.erase(s.queue.begin());
    if (!task.background) --s.foreground_queued;
    ++s.running;
    lock.unlock();
    try {
      task.run();
    } catch (...) {
      // NOTE: tasks report their own failures; nothing may end a worker thread early.
    }
    task.run = nullptr;  // release what the task holds before reporting idle
    lock.lock();
    --s.running;
    if (s.foreground_queued == 0 && s.running == 0) s.idle.notify_all();
  }
  t_current = nullptr;
}

}  // namespace velmora::platform::bluetooth::sim
