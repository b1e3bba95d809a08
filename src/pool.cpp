#include "pool.h"

#include <pthread.h>
#include <sched.h>

#include <system_error>

namespace vellix {

// One parallel loop. Shared by the caller and every queued helper entry, because a helper may
// be dequeued long after the loop finished and the caller returned: such a late helper finds
// no index left and never touches `fn`, whose callable may be gone by then.
struct WorkerPool::Loop {
    IndexFn fn;
    size_t n = 0;
    std::atomic<size_t> next{0};      // the next index to claim
    std::atomic<size_t> finished{0};  // indices whose call has returned
    std::atomic<bool> failed{false};  // set once, by the thread that stores `error`
    std::exception_ptr error;         // written before `finished` is raised, read after all
    // Consumed loops only: the indices whose call has returned and that the caller has not
    // taken yet, in the order they finished. Guarded by the pool's mutex_.
    bool streamed = false;
    std::vector<size_t> finished_unclaimed;

    Loop(IndexFn f, size_t count) : fn(f), n(count) {}
};

WorkerPool::WorkerPool(size_t threads) {
    workers_.reserve(threads);
    for (size_t i = 0; i < threads; ++i) {
        try {
            workers_.emplace_back([this] { worker_main(); });
        } catch (const std::system_error&) {
            // The system refuses more threads: work with those already running (or none, in
            // which case every loop runs on its caller).
            break;
        }
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void WorkerPool::worker_main() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, and nothing left to run
        std::shared_ptr<Loop> loop = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        run_indices(*loop);
        lock.lock();
    }
}

void WorkerPool::run_index(Loop& loop, size_t i) {
    try {
        loop.fn(i);
    } catch (...) {
        // Nothing may leave a worker thread (std::terminate); the caller gets it instead.
        if (!loop.failed.exchange(true, std::memory_order_relaxed)) {
            loop.error = std::current_exception();
        }
    }
    if (loop.streamed) {
        // The mutex orders the call's writes (its result slot, `error`) before the caller's
        // reading of them, and this wake-up after the caller's check, so it cannot be missed.
        std::lock_guard lock(mutex_);
        // Both vectors the caller swaps hold capacity for all n indices: this never allocates.
        loop.finished_unclaimed.push_back(i);
        loop.finished.fetch_add(1, std::memory_order_relaxed);
        wake_.notify_all();
        return;
    }
    // Release: the call's writes happen before the caller sees the count complete.
    if (loop.finished.fetch_add(1, std::memory_order_acq_rel) + 1 == loop.n) {
        // Taking the lock orders this wake-up after the caller's check of the count, so the
        // caller cannot miss it.
        std::lock_guard lock(mutex_);
        wake_.notify_all();
    }
}

void WorkerPool::run_indices(Loop& loop) {
    for (;;) {
        const size_t i = loop.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= loop.n) return;
        run_index(loop, i);
    }
}

void WorkerPool::invite_helpers(const std::shared_ptr<Loop>& loop, size_t helpers) {
    {
        std::lock_guard lock(mutex_);
        try {
            for (size_t h = 0; h < helpers; ++h) queue_.push_back(loop);
        } catch (...) {
            // Out of memory for queue entries: the entries already queued, or else the caller
            // alone, run the loop. Failing here instead would leave queued entries pointing at
            // a callable that is gone.
        }
    }
    wake_.notify_all();
}

bool WorkerPool::help_once(std::unique_lock<std::mutex>& lock) {
    if (queue_.empty()) return false;
    std::shared_ptr<Loop> other = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    run_indices(*other);
    lock.lock();
    return true;
}

namespace {

// The loop on the calling thread alone, with the same contract as a pooled one: every index
// runs, and the first exception is rethrown at the end.
void run_sequentially(size_t n, IndexFn fn) {
    std::exception_ptr first;
    for (size_t i = 0; i < n; ++i) {
        try {
            fn(i);
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
}

}  // namespace

void WorkerPool::parallel_for(size_t n, IndexFn fn) {
    if (n < 2 || workers_.empty()) {
        run_sequentially(n, fn);
        return;
    }
    auto loop = std::make_shared<Loop>(fn, n);
    // More helpers than workers would only queue entries that find nothing left to do.
    invite_helpers(loop, std::min(n - 1, workers_.size()));

    run_indices(*loop);

    // Wait for the indices other threads claimed, running queued work meanwhile: a worker
    // that waits here for pages it started keeps the pool busy instead of blocking it. The
    // nesting this allows is bounded, because every level dequeues one entry and only the
    // outer loops' entries (at most one per worker each) can nest further.
    std::unique_lock lock(mutex_);
    while (loop->finished.load(std::memory_order_acquire) < n) {
        if (!help_once(lock)) wake_.wait(lock);
    }
    lock.unlock();
    if (loop->failed.load(std::memory_order_relaxed)) std::rethrow_exception(loop->error);
}

void WorkerPool::parallel_consume(size_t n, IndexFn fn, IndexFn consume) {
    std::exception_ptr consume_error;
    auto consume_once = [&](size_t i) {
        if (consume_error) return;
        try {
            consume(i);
        } catch (...) {
            consume_error = std::current_exception();
        }
    };
    if (n < 2 || workers_.empty()) {
        std::exception_ptr fn_error;
        for (size_t i = 0; i < n; ++i) {
            try {
                fn(i);
            } catch (...) {
                if (!fn_error) fn_error = std::current_exception();
            }
            consume_once(i);
        }
        if (fn_error) std::rethrow_exception(fn_error);
        if (consume_error) std::rethrow_exception(consume_error);
        return;
    }

    auto loop = std::make_shared<Loop>(fn, n);
    loop->streamed = true;
    loop->finished_unclaimed.reserve(n);
    // One helper per worker: the caller mostly consumes, and runs indices only while nothing
    // is ready for it.
    invite_helpers(loop, std::min(n, workers_.size()));

    std::vector<size_t> ready;
    ready.reserve(n);
    for (size_t consumed = 0; consumed < n;) {
        {
            std::unique_lock lock(mutex_);
            ready.swap(loop->finished_unclaimed);
        }
        if (!ready.empty()) {
            for (size_t i : ready) consume_once(i);
            consumed += ready.size();
            ready.clear();
            continue;
        }
        // Nothing is ready: work on an index of this loop, or else on queued work of other
        // loops, or else sleep until an index finishes.
        const size_t i = loop->next.fetch_add(1, std::memory_order_relaxed);
        if (i < n) {
            run_index(*loop, i);
            continue;
        }
        std::unique_lock lock(mutex_);
        if (!loop->finished_unclaimed.empty()) continue;
        if (!help_once(lock)) wake_.wait(lock);
    }
    // Every index was consumed, so every call of fn has returned.
    if (loop->failed.load(std::memory_order_relaxed)) std::rethrow_exception(loop->error);
    if (consume_error) std::rethrow_exception(consume_error);
}

size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<size_t>(count);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

namespace {

// The process-wide pool is never destroyed: joining workers during static destruction would
// race with interpreter shut-down, and a worker blocked on its condition variable costs
// nothing at exit.
std::mutex g_pool_mutex;                   // guards creating g_pool and g_atfork_registered
std::atomic<WorkerPool*> g_pool{nullptr};  // written under g_pool_mutex, read without it
bool g_atfork_registered = false;

// Held across fork() so that no other thread is halfway through creating the pool when the
// child's copy of memory is taken.
void before_fork() { g_pool_mutex.lock(); }
void after_fork_in_parent() { g_pool_mutex.unlock(); }
void after_fork_in_child() {
    // The child has only the thread that called fork(): the old pool's workers do not exist
    // and its mutex may be held by one of them forever. Abandon it without touching it (its
    // memory is leaked on purpose) so that the next use creates a fresh pool.
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_pool_mutex.unlock();  // locked by this same thread in before_fork
}

}  // namespace

WorkerPool& process_pool() {
    if (WorkerPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard lock(g_pool_mutex);
    if (WorkerPool* pool = g_pool.load(std::memory_order_relaxed)) return *pool;
    if (!g_atfork_registered) {
        g_atfork_registered = pthread_atfork(before_fork, after_fork_in_parent,
                                             after_fork_in_child) == 0;
    }
    auto* pool = new WorkerPool(available_processors());
    g_pool.store(pool, std::memory_order_release);
    return *pool;
}

void parallel_for(size_t n, IndexFn fn) {
    if (n < 2) {
        run_sequentially(n, fn);
        return;
    }
    process_pool().parallel_for(n, fn);
}

void parallel_consume(size_t n, IndexFn fn, IndexFn consume) {
    if (n < 2) {
        // Same contract on the caller alone, without creating the pool.
        WorkerPool none(0);
        none.parallel_consume(n, fn, consume);
        return;
    }
    process_pool().parallel_consume(n, fn, consume);
}

}  // namespace vellix
