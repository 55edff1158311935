// Work split over threads: numbered tasks taken in turn from a shared counter by threads
// started for the call. Starting a thread costs tens of microseconds (measured in
// parallel_benchmark.cpp), nothing next to the milliseconds of the inputs worth splitting, and
// threads started per call need no pool to manage across fork() or interpreter shutdown.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace tabrix {

// Cores this process may run on (its CPU affinity where the system tells it), at least 1.
unsigned available_cores() noexcept;

// Reads a count written as a whole decimal number ("1", " 8 "): true with *out set for
// values from 1 to 2^31 - 1; false for anything else (0, a sign, junk, overflow).
bool parse_positive_count(const char* text, size_t* out) noexcept;

namespace detail {

// What the threads of one call share: the next task, the first error, the tasks done.
struct TaskQueue {
    explicit TaskQueue(size_t n) : ntasks(n) {}

    // The next task to run, or ntasks when there is none left (or a task failed).
    size_t take() {
        if (failed.load(std::memory_order_relaxed)) return ntasks;
        const size_t i = next.fetch_add(1, std::memory_order_relaxed);
        return i < ntasks ? i : ntasks;
    }

    void fail(std::exception_ptr e) {
        {
            // Under the mutex, as every change a waiter tests for.
            std::lock_guard<std::mutex> lock(mutex);
            if (!error) error = std::move(e);
            failed.store(true, std::memory_order_relaxed);
        }
        wake.notify_all();
    }

    const size_t ntasks;
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable wake;
    std::exception_ptr error;
};

// Threads started for one call, joined when it ends, whatever way it ends. A thread that
// cannot be started is simply missing: the others, the calling thread included, do its share.
class Crew {
public:
    Crew() = default;
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;
    ~Crew() { join(); }

    template <class Body>
    void start(unsigned count, Body body) {
        threads_.reserve(count);
        for (unsigned w = 0; w < count; ++w) {
            try {
                threads_.emplace_back(body, w + 1);  // worker 0 is the calling thread
            } catch (const std::system_error&) {
                break;
            }
        }
    }
    void join() {
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
        threads_.clear();
    }

private:
    std::vector<std::thread> threads_;
};

}  // namespace detail

// Runs task(i, worker) for every i in [0, ntasks) on up to `threads` threads, the calling
// thread one of them (worker 0; the others are numbered from 1, below `threads`, so that
// they can keep scratch space of their own). Returns once every task is done. The first
// exception a task throws is rethrown here after every thread has stopped; tasks not started
// by then are skipped.
template <class Task>
void parallel_for(size_t ntasks, unsigned threads, Task&& task) {
    if (ntasks == 0) return;
    if (threads <= 1 || ntasks == 1) {
        for (size_t i = 0; i < ntasks; ++i) task(i, 0u);
        return;
    }
    const unsigned extra = static_cast<unsigned>(std::min<size_t>(ntasks, threads) - 1);
    detail::TaskQueue queue(ntasks);
    auto work = [&](unsigned worker) {
        try {
            for (size_t i = queue.take(); i < ntasks; i = queue.take()) task(i, worker);
        } catch (...) {
            queue.fail(std::current_exception());
        }
    };
    {
        detail::Crew crew;
        crew.start(extra, work);
        work(0u);
    }
    if (queue.error) std::rethrow_exception(queue.error);
}

// parallel_for whose calling thread also hands each task, once done, to finish(i), in the
// order of i, while the other threads go on with the next tasks: for results that only the
// calling thread may build. When it has no task to finish, the calling thread runs the next
// task itself. finish(i) returns false to stop early: the threads then stop (the tasks they
// are running are completed, no new one starts) and i is returned, once they have all
// ended; otherwise ntasks is returned. An exception from task() or finish() also stops the
// threads and is rethrown here.
template <class Task, class Finish>
size_t parallel_ordered(size_t ntasks, unsigned threads, Task&& task, Finish&& finish) {
    if (threads <= 1 || ntasks <= 1) {
        for (size_t i = 0; i < ntasks; ++i) {
            task(i, 0u);
            if (!finish(i)) return i;
        }
        return ntasks;
    }
    const unsigned extra = static_cast<unsigned>(std::min<size_t>(ntasks, threads) - 1);
    detail::TaskQueue queue(ntasks);
    std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[ntasks]);
    for (size_t i = 0; i < ntasks; ++i) done[i].store(false, std::memory_order_relaxed);
    auto mark_done = [&](size_t i) {
        {
            // Under the mutex, so that a waiter between its test and its sleep misses nothing.
            std::lock_guard<std::mutex> guard(queue.mutex);
            done[i].store(true, std::memory_order_release);
        }
        queue.wake.notify_all();
    };
    auto work = [&](unsigned worker) {
        try {
            for (size_t i = queue.take(); i < ntasks; i = queue.take()) {
                task(i, worker);
                mark_done(i);
            }
        } catch (...) {
            queue.fail(std::current_exception());
        }
    };
    size_t stopped_at = ntasks;
    {
        detail::Crew crew;
        auto stop = [&] {
            queue.failed.store(true, std::memory_order_relaxed);
            crew.join();
        };
        try {
            crew.start(extra, work);
            for (size_t next = 0; next < ntasks;) {
                if (done[next].load(std::memory_order_acquire)) {
                    if (!finish(next)) {
                        stopped_at = next;
                        break;
                    }
                    ++next;
                    continue;
                }
                if (queue.failed.load(std::memory_order_relaxed)) break;
                const size_t mine = queue.take();
                if (mine < ntasks) {
                    task(mine, 0u);
                    mark_done(mine);
                    continue;
                }
                std::unique_lock<std::mutex> wait(queue.mutex);
                queue.wake.wait(wait, [&] {
                    return done[next].load(std::memory_order_acquire) ||
                           queue.failed.load(std::memory_order_relaxed);
                });
            }
        } catch (...) {
            stop();
            throw;
        }
        stop();
    }
    if (queue.error) std::rethrow_exception(queue.error);
    return stopped_at;
}

}  // namespace tabrix
