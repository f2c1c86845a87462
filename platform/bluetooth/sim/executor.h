// A small pool of worker threads that runs posted tasks in due-time order (FIFO for equal times).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace velmora::platform::bluetooth::sim {

class Executor {
 public:
  // Executor starts `threads` workers (at least one). With one worker, tasks run strictly one after another.
  explicit Executor(int threads);
  // TaskId names a posted task: its due time in microseconds and its place among tasks posted.
  using TaskId = std::pair<int64_t, uint64_t>;
  ~Executor() { Shutdown(); }
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  // Post queues a task to run delay_ms from now and returns its id (for Cancel). A background task (a
  // periodic timer) does not keep WaitIdle waiting while it is queued. After Shutdown, posting does nothing.
  // Any thread.
  TaskId Post(std::function<void()> task, int64_t delay_ms = 0, bool background = false) {
    return PostMicros(std::move(task), delay_ms > 0 ? delay_ms * 1000 : 0, background);
  }
  // PostMicros is Post with the delay in microseconds.
  TaskId PostMicros(std::function<void()> task, int64_t delay_us, bool background = false);
  // Cancel takes a task out of the queue before a worker takes it and returns it (empty when a worker has
  // taken it already or it was never queued); destroying it is the caller's. Any thread.
  std::function<void()> Cancel(TaskId id);
  // WaitIdle returns once no foreground task is queued and no task is running. Not from a worker.
  void WaitIdle();
  // ForegroundPosted counts foreground tasks posted so far; callers detect new work with it.
  uint64_t ForegroundPosted();
  bool IsIdle();
  // Queued counts the tasks waiting in the queue, due or not, that no worker has taken yet. Any thread.
  size_t Queued();
  // IsCurrentThread tells whether the calling thread is one of this executor's workers.
  bool IsCurrentThread() const;
  // Shutdown drops the queued tasks, lets running ones finish and joins the workers. Idempotent.
  void Shutdown();

 private:
  struct Task {
    std::function<void()> run;
    bool background;
  };
  // State is shared with the workers, so that a worker that had to be detached never outlives what it uses.
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::map<TaskId, Task> queue;
    uint64_t sequence = 0;
    uint64_t foreground_posted = 0;
    int foreground_queued = 0;
    int running = 0;
    bool stopping = false;
  };
  static void Work(const std::shared_ptr<State>& state, const Executor* owner);

  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::vector<std::thread> workers_;
};

}  // namespace velmora::platform::bluetooth::sim
