// Fork-join work over a fixed set of threads, for kernels that run without the GIL.
//
// Work comes in chunks whose boundaries the kernel fixes, never the thread count: each
// chunk writes its own slots and its results are combined in chunk order afterwards,
// so a result is the same bit for bit on one thread or on many. Threads take chunks as
// they come free, so a slow core (the machine is shared) holds back one chunk, not a
// fixed share of the work.
//
// chunk(c, t) runs on thread slot t (0 the caller, below threads()), for buffers kept
// per thread. The calling thread works too, and it alone runs between(c), after each
// chunk it finishes: the place for the signal poll, which needs the Python thread state only
// the caller owns. Whatever a chunk or `between` throws stops the handing out of
// chunks; the first error is rethrown to the caller once every thread is idle again.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace core {

class Pool {
public:
    // `threads` counts the caller: a pool of 1 starts no thread and runs chunks inline.
    explicit Pool(std::size_t threads) {
        workers_.reserve(threads > 1 ? threads - 1 : 0);
        for (std::size_t t = 1; t < threads; ++t) workers_.emplace_back([this, t] { serve(t); });
    }
    ~Pool() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        wake_.notify_all();
        for (std::thread& worker : workers_) worker.join();
    }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t threads() const { return workers_.size() + 1; }

    // chunk(c, t) for every c in 0 .. chunks - 1, on every thread of the pool.
    template <class Chunk, class Between>
    void run(std::size_t chunks, Chunk&& chunk, Between&& between) {
        if (workers_.empty() || chunks <= 1) {
            for (std::size_t c = 0; c < chunks; ++c) {
                chunk(c, std::size_t{0});
                between(c);
            }
            return;
        }
        const Job job = [&chunk](std::size_t c, std::size_t t) { chunk(c, t); };
        {
            std::lock_guard lock(mutex_);
            job_ = &job;
            chunks_ = chunks;
            next_.store(0, std::memory_order_relaxed);
            failed_.store(false, std::memory_order_relaxed);
            error_ = nullptr;
            busy_ = workers_.size();
            ++generation_;
        }
        wake_.notify_all();
        for (;;) {
            const std::size_t c = take();
            if (c >= chunks) break;
            try {
                chunk(c, std::size_t{0});
                between(c);
            } catch (...) {
                fail(std::current_exception());
            }
        }
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return busy_ == 0; });
        job_ = nullptr;
        if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    }

private:
    std::size_t take() {
        if (failed_.load(std::memory_order_relaxed)) return chunks_;
        return next_.fetch_add(1, std::memory_order_relaxed);
    }
    void fail(std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        if (!error_) error_ = error;
        failed_.store(true, std::memory_order_relaxed);
    }
    void serve(std::size_t slot) {
        std::uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return closing_ || generation_ != seen; });
                if (closing_) return;
                seen = generation_;
            }
            for (;;) {
                const std::size_t c = take();
                if (c >= chunks_) break;
                try {
                    (*job_)(c, slot);
                } catch (...) {
                    fail(std::current_exception());
                }
            }
            {
                std::lock_guard lock(mutex_);
                --busy_;
            }
            idle_.notify_one();
        }
    }

    using Job = std::function<void(std::size_t, std::size_t)>;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    bool closing_ = false;
    std::uint64_t generation_ = 0;
    std::size_t busy_ = 0;
    // Set under the mutex before a generation starts, read by workers after they see it.
    const Job* job_ = nullptr;
    std::size_t chunks_ = 0;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> failed_{false};
    std::exception_ptr error_;
};

// How many chunks of at most `size` items cover `items`.
inline std::size_t chunk_count(std::size_t items, std::size_t size) { return (items + size - 1) / size; }

}  // namespace core
