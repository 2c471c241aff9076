#include "core/workers.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

namespace aw {
namespace {
// A kept thread looks for the next job this long before it sleeps: callers
// ask in runs, and waking a sleeping thread costs tens of microseconds.
constexpr auto kSpin = std::chrono::microseconds(200);

}  // namespace

unsigned cores() {
    static const unsigned n = std::thread::hardware_concurrency();
    return n;
}

struct Kept {
    std::mutex m;
    std::condition_variable wake, done;
    size_t threads = 0;
    const std::function<void()>* job = nullptr;  // guarded by m
    void (*afterwards)() = nullptr;              // guarded by m
    size_t active = 0;                           // threads below this index run job
    std::atomic<uint64_t> generation{0};
    std::atomic<size_t> pending{0};  // threads still on the current job
    bool busy = false;               // a caller's job is on, guarded by m
    pid_t pid = getpid();

    void loop(size_t index) {
        uint64_t seen = 0;
        for (;;) {
            const auto until = std::chrono::steady_clock::now() + kSpin;
            while (generation.load(std::memory_order_acquire) == seen && std::chrono::steady_clock::now() < until)
                std::this_thread::yield();
            const std::function<void()>* run;
            void (*then)();
            {
                std::unique_lock<std::mutex> lock(m);
                wake.wait(lock, [&] { return generation.load() != seen; });
                seen = generation.load();
                run = index < active ? job : nullptr;
                then = afterwards;
            }
            if (!run) continue;
            (*run)();
            if (pending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                std::lock_guard<std::mutex> lock(m);
                done.notify_all();
            }
            if (then) then();
        }
    }
};

namespace {

// Never destroyed: kept threads may still sleep on it at exit. After a
// fork the child has none of the threads: it starts a state of its own.
std::mutex g_kept_mutex;
Kept* g_kept = nullptr;

Kept* kept_state() {
    std::lock_guard<std::mutex> lock(g_kept_mutex);
    if (!g_kept || g_kept->pid != getpid()) g_kept = new Kept();
    return g_kept;
}

}  // namespace

KeptJob::KeptJob(size_t threads, const std::function<void()>& job, void (*afterwards)()) {
    if (threads == 0 || threads >= cores()) return;
    Kept* k;
    try {
        k = kept_state();
    } catch (const std::bad_alloc&) {
        return;
    }
    std::lock_guard<std::mutex> lock(k->m);
    if (k->busy) return;
    while (k->threads < threads) {
        try {
            const size_t index = k->threads;
            std::thread([k, index] { k->loop(index); }).detach();
        } catch (const std::exception&) {  // fewer threads: the caller does more itself
            break;
        }
        ++k->threads;
    }
    started_ = std::min(threads, k->threads);
    if (!started_) return;
    k->busy = true;
    k->job = &job;
    k->afterwards = afterwards;
    k->active = started_;
    k->pending.store(started_);
    k->generation.fetch_add(1, std::memory_order_acq_rel);
    k->wake.notify_all();
    kept_ = k;
}

void KeptJob::wait() {
    if (!started_ || waited_) return;
    waited_ = true;
    Kept* k = kept_;
    const auto until = std::chrono::steady_clock::now() + kSpin;
    while (k->pending.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    std::unique_lock<std::mutex> lock(k->m);
    k->done.wait(lock, [&] { return k->pending.load() == 0; });
    k->job = nullptr;
    k->busy = false;
}

}  // namespace aw
