// The process-wide worker pool: parallel loops whose waiting callers help run queued work,
// so loops started from inside other loops (pages inside files) never starve or deadlock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace vellix {

template <class Signature>
class FunctionRef;

// A borrowed callable: a function pointer and the object it is called on. Valid while the
// callable it was made from lives; a temporary lives until the end of the full expression that
// made it, which covers a call taking a FunctionRef.
template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
                 std::is_invocable_r_v<R, F&, Args...>)
    FunctionRef(F&& f)  // NOLINT: implicit on purpose
        : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* o, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...);
          }) {}
    R operator()(Args... args) const { return call_(obj_, std::forward<Args>(args)...); }

private:
    void* obj_;
    R (*call_)(void*, Args...);
};

using IndexFn = FunctionRef<void(size_t)>;

class WorkerPool {
public:
    // Starts up to `threads` workers. A thread the system refuses to start is simply missing:
    // with none at all, every loop runs on its caller.
    explicit WorkerPool(size_t threads);
    // Stops and joins the workers. Never called for the process-wide pool.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Calls fn(i) once for every i in [0, n), spread over the workers and the calling thread,
    // and returns when all calls are done. While it waits, the caller runs other queued work.
    // Every exception thrown by fn is caught on the thread that ran it; once all calls are
    // done, the first one caught is rethrown here, on the calling thread.
    void parallel_for(size_t n, IndexFn fn);

    // Calls fn(i) for every i in [0, n) like parallel_for (indices are started in increasing
    // order), and consume(i) on the calling thread once for every i, soon after fn(i) has
    // returned, in the order the calls finish, while other indices still run on the workers.
    // The caller runs fn itself only while nothing is ready to consume. Returns when every fn
    // and consume call is done. The first exception thrown by fn, else the first thrown by
    // consume (after which consume is no longer called), is rethrown here once nothing runs
    // any more.
    void parallel_consume(size_t n, IndexFn fn, IndexFn consume);

    size_t worker_count() const { return workers_.size(); }

private:
    struct Loop;

    void worker_main();
    // Claims and runs indices of `loop` until none is left.
    void run_indices(Loop& loop);
    void run_index(Loop& loop, size_t i);
    // Queues up to `helpers` entries of `loop` and wakes the workers. Never throws.
    void invite_helpers(const std::shared_ptr<Loop>& loop, size_t helpers);
    // Runs one queued entry if there is one; `lock` is held on entry and on return.
    bool help_once(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;                               // guards queue_ and stopping_
    std::condition_variable wake_;                   // queue_ grew, a loop finished, or stop
    std::deque<std::shared_ptr<Loop>> queue_;        // one entry per helper invited to a loop
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// The number of processors this process may run on (at least 1).
size_t available_processors();

// The process-wide pool, created on first use with one worker per available processor and
// kept until the process ends. In a child made by fork() the first use creates a new pool,
// since the parent's workers do not exist there.
WorkerPool& process_pool();

// parallel_for on the process-wide pool; loops of fewer than 2 indices run on the caller
// and never create the pool.
void parallel_for(size_t n, IndexFn fn);
// parallel_consume on the process-wide pool, with the same exception for fewer than 2
// indices.
void parallel_consume(size_t n, IndexFn fn, IndexFn consume);

}  // namespace vellix
