// Threads kept for the life of the process, running one job at a time.
// Starting a thread for each job cost more than a short job's own work:
// the start itself, and a new thread's cold caches and allocator.
#pragma once

#include <cstddef>
#include <functional>

namespace aw {

struct Kept;

// The machine's cores (std::thread::hardware_concurrency, read once: each
// reading opens a file under /sys).
unsigned cores();

// One job on some of the kept threads. The job must not throw, and what it
// reads must outlive wait() (the destructor waits too).
class KeptJob {
public:
    // Starts job on up to threads kept threads (made on first use). None
    // when another caller's job holds them, when more are asked for than
    // the machine has cores, or when none could be made: started() is 0.
    // afterwards, when given, runs on each of them once it is done with job
    // (wait() does not wait for it): work the caller need not wait for.
    KeptJob(size_t threads, const std::function<void()>& job, void (*afterwards)() = nullptr);
    KeptJob(const KeptJob&) = delete;
    KeptJob& operator=(const KeptJob&) = delete;
    ~KeptJob() { wait(); }
    size_t started() const { return started_; }
    // Until every thread that took the job is done with it.
    void wait();

private:
    Kept* kept_ = nullptr;
    size_t started_ = 0;
    bool waited_ = false;
};

}  // namespace aw
