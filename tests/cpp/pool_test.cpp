// The worker pool: every index runs once, results land by position, nested loops finish,
// exceptions come back to the caller, and a forked child can still run loops.
#include "pool.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace vellix {
namespace {

// Runs `loop` and tells whether it threw one of the two exceptions the test bodies throw.
template <class F>
bool throws_bad_alloc_or_runtime_error(F loop) {
    try {
        loop();
    } catch (const std::exception& e) {
        return dynamic_cast<const std::bad_alloc*>(&e) != nullptr || dynamic_cast<const std::runtime_error*>(&e) != nullptr;
    }
    return false;
}

TEST(WorkerPool, EveryIndexRunsOnceAndResultsLandByPosition) {
    // Pools of no worker (all on the caller), one, and more workers than processors; plain
    // loops, and consumed loops that hand each index to the caller once its own call returned.
    for (size_t workers : {0, 1, 4}) {
        WorkerPool pool(workers);
        for (size_t n : {0, 1, 3, 300}) {
            SCOPED_TRACE(testing::Message() << "workers " << workers << ", n " << n);
            std::vector<std::atomic<int>> runs(n);
            std::vector<size_t> out(n, 0);
            auto body = [&](size_t i) {
                runs[i].fetch_add(1);
                // Uneven work, so later indices often finish first.
                if (i % 5 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
                out[i] = i * i + 1;
            };
            pool.parallel_for(n, body);
            for (size_t i = 0; i < n; ++i) EXPECT_TRUE(runs[i].exchange(0) == 1 && std::exchange(out[i], 0) == i * i + 1) << i;
            const std::thread::id caller = std::this_thread::get_id();
            std::vector<int> consumed(n, 0);
            // Counted only on the caller's thread and once the index's own call has written its result.
            pool.parallel_consume(n, body, [&](size_t i) { consumed[i] += std::this_thread::get_id() == caller && out[i] == i * i + 1; });
            for (size_t i = 0; i < n; ++i) EXPECT_TRUE(consumed[i] == 1 && runs[i].load() == 1) << i;
        }
    }
}

TEST(WorkerPool, NestedLoopsFinishOnEveryPoolSize) {
    // Outer tasks that each start and wait for inner loops, three levels deep, more outer
    // tasks than workers: a pool whose waiters blocked instead of helping would hang here. Then
    // plain loops inside a consumed loop, and consumed loops inside a plain one.
    for (size_t workers : {0, 1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << "workers " << workers);
        WorkerPool pool(workers);
        std::vector<size_t> sums(16, 0), seen(12, 0), totals(6, 0);
        pool.parallel_for(sums.size(), [&](size_t o) {
            std::vector<size_t> middle(6, 0);
            pool.parallel_for(middle.size(), [&](size_t m) {
                std::vector<size_t> inner(5, 0);
                pool.parallel_for(inner.size(), [&](size_t i) { inner[i] = o * 100 + m * 10 + i; });
                for (size_t v : inner) middle[m] += v;
            });
            for (size_t v : middle) sums[o] += v;
        });
        // Sum over m < 6, i < 5 of (o*100 + m*10 + i).
        for (size_t o = 0; o < sums.size(); ++o) EXPECT_EQ(sums[o], 3000 * o + 750 + 60) << "outer " << o;
        auto plain_inside = [&](size_t o) {
            std::vector<size_t> inner(7, 0);
            pool.parallel_for(inner.size(), [&](size_t i) { inner[i] = o + i; });
            for (size_t v : inner) seen[o] += v;
        };
        pool.parallel_consume(seen.size(), plain_inside, [&](size_t o) { EXPECT_EQ(seen[o], 7 * o + 21); });
        pool.parallel_for(totals.size(), [&](size_t o) { pool.parallel_consume(5, [](size_t) {}, [&](size_t i) { totals[o] += i; }); });
        EXPECT_EQ(totals, std::vector<size_t>(6, 10));
    }
}

TEST(WorkerPool, ConcurrentCallersShareOnePool) {
    WorkerPool pool(2);
    std::vector<std::vector<size_t>> out(4, std::vector<size_t>(200, 0));
    std::vector<std::thread> callers;
    for (size_t c = 0; c < out.size(); ++c) {
        callers.emplace_back([&, c] { for (int round = 0; round < 20; ++round) pool.parallel_for(200, [&](size_t i) { out[c][i] += i + c; }); });
    }
    for (std::thread& t : callers) t.join();
    for (size_t c = 0; c < out.size(); ++c)
        for (size_t i = 0; i < 200; ++i) ASSERT_EQ(out[c][i], 20 * (i + c)) << c << " " << i;
}

TEST(WorkerPool, ExceptionsReachTheCallerAfterEveryIndexRan) {
    const struct { const char* what; size_t workers, n; } cases[] = {
        {"on the caller alone", 0, 50}, {"spread over workers", 2, 50}, {"single index", 2, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WorkerPool pool(c.workers);
        std::vector<std::atomic<int>> runs(c.n);
        // Every index of a multiple of 7 throws; the others must all still run.
        auto body = [&](size_t i) {
            runs[i].fetch_add(1);
            if (i % 7 == 0) i % 2 == 0 ? throw std::bad_alloc() : throw std::runtime_error("odd");
        };
        EXPECT_TRUE(throws_bad_alloc_or_runtime_error([&] { pool.parallel_for(c.n, body); }));
        // A consumed loop still consumes a throwing index; the exception comes back at the end.
        size_t consumed = 0;
        EXPECT_TRUE(throws_bad_alloc_or_runtime_error([&] { pool.parallel_consume(c.n, body, [&](size_t) { ++consumed; }); }));
        EXPECT_EQ(consumed, c.n);
        for (size_t i = 0; i < c.n; ++i) EXPECT_EQ(runs[i].load(), 2) << "index " << i;
        // The pool keeps working after a failed loop.
        std::atomic<size_t> total{0};
        pool.parallel_for(100, [&](size_t i) { total += i; });
        EXPECT_EQ(total.load(), 4950u);
    }
    // A throwing consumer is not called again, every index still runs, the exception comes back.
    WorkerPool pool(2);
    std::vector<std::atomic<int>> runs(50);
    size_t calls = 0;
    auto throw_at_fourth = [&](size_t) { if (++calls == 4) throw std::bad_alloc(); };
    EXPECT_THROW(pool.parallel_consume(50, [&](size_t i) { runs[i].fetch_add(1); }, throw_at_fourth), std::bad_alloc);
    EXPECT_EQ(calls, 4u);
    for (auto& r : runs) EXPECT_EQ(r.load(), 1);
}

// Runs `body` in a forked child and returns its exit status; the child ends itself by SIGALRM
// when still running after `timeout_seconds`, so a hang fails instead of stalling the suite.
int run_in_child(void (*body)(), unsigned timeout_seconds) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(timeout_seconds);
        body();
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Exits unless loops, nested ones too, give their results and some index runs on a thread
// other than the caller: the first index waits (up to a generous bound) for another thread to
// take part. A pool left over from the parent, whose workers do not exist in a child, would
// leave every index to the caller.
void loops_work_or_exit() {
    std::vector<size_t> out(500, 0);
    parallel_for(out.size(), [&](size_t i) {
        std::vector<size_t> inner(4, 0);
        parallel_for(inner.size(), [&](size_t j) { inner[j] = j; });
        out[i] = i + inner[3];
    });
    for (size_t i = 0; i < out.size(); ++i) if (out[i] != i + 3) _exit(3);
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> helped{false};
    parallel_for(64, [&](size_t i) {
        if (std::this_thread::get_id() != caller) helped = true;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (i == 0 && !helped && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    if (!helped) _exit(5);
}

TEST(WorkerPool, ProcessPoolHasOneWorkerPerProcessorAndForkedChildrenGetAFreshOne) {
    EXPECT_EQ(&process_pool(), &process_pool());
    EXPECT_GE(available_processors(), 1u);
    EXPECT_EQ(process_pool().worker_count(), available_processors());
    // The parent's pool exists and has run work before the fork; a child of a child, and the
    // parent afterwards, work too.
    loops_work_or_exit();
    EXPECT_EQ(run_in_child(loops_work_or_exit, 30), 0);
    auto grandchild = [] {
        loops_work_or_exit();
        if (run_in_child(loops_work_or_exit, 30) != 0) _exit(4);
    };
    EXPECT_EQ(run_in_child(grandchild, 60), 0);
    loops_work_or_exit();
}

}  // namespace
}  // namespace vellix
