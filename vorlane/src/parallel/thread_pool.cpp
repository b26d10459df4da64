// The pool's hand-off: a generation counter announces work, a countdown reports it done.
#include "vorlane/thread_pool.hpp"

#include <sched.h>

#include <system_error>

namespace vorlane {

namespace {

// Spins before sleeping: about the time a round's serial part takes, so that a worker is
// awake for the next hand-off without holding a core when the caller is busy elsewhere.
constexpr int kSpins = 1 << 14;
// A barrier's spin yields the core once per this many turns.
constexpr int kYieldEvery = 64;

template <class T>
void await_change(const std::atomic<T>& value, T old) {
    for (int i = 0; i < kSpins; ++i) {
        if (value.load(std::memory_order_acquire) != old) return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    while (value.load(std::memory_order_acquire) == old) value.wait(old, std::memory_order_acquire);
}

}  // namespace

unsigned ThreadPool::available_threads() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

ThreadPool::ThreadPool(unsigned threads) {
    const unsigned wanted = threads > 1 ? threads - 1 : 0;
    workers_.reserve(wanted);
    for (unsigned w = 1; w <= wanted; ++w) {
        try {
            workers_.emplace_back([this, w] { work(w); });
        } catch (const std::system_error&) {
            break;
        }
    }
    errors_.resize(size());
}

ThreadPool::~ThreadPool() {
    closing_.store(true, std::memory_order_release);
    generation_.fetch_add(1, std::memory_order_acq_rel);
    generation_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void ThreadPool::call_one(unsigned w) {
    try {
        call_(context_, w);
    } catch (...) {
        errors_[w] = std::current_exception();
    }
}

void ThreadPool::dispatch(Call call, void* context) {
    call_ = call;
    context_ = context;
    for (auto& e : errors_) e = nullptr;
    if (!workers_.empty()) {
        pending_.store(static_cast<unsigned>(workers_.size()), std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_acq_rel);
        generation_.notify_all();
    }
    call_one(0);
    for (unsigned left = pending_.load(std::memory_order_acquire); left != 0;
         left = pending_.load(std::memory_order_acquire)) {
        await_change(pending_, left);
    }
    for (auto& e : errors_) {
        if (e) std::rethrow_exception(e);
    }
}

void ThreadPool::work(unsigned w) {
    uint64_t seen = 0;
    for (;;) {
        await_change(generation_, seen);
        seen = generation_.load(std::memory_order_acquire);
        if (closing_.load(std::memory_order_acquire)) return;
        call_one(w);
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) pending_.notify_one();
    }
}

void SpinBarrier::wait() {
    // The phase cannot move on before this thread arrives, so this is the current one.
    const uint32_t phase = phase_.load(std::memory_order_acquire);
    if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == count_) {
        // The others read arrived_ again only after they see the new phase.
        arrived_.store(0, std::memory_order_relaxed);
        phase_.fetch_add(1, std::memory_order_acq_rel);
        phase_.notify_all();
        return;
    }
    // Yielding now and then while spinning: on a machine with more runnable threads than
    // cores, the thread everyone waits for may be the one this spin keeps off its core.
    for (int i = 1; i <= kSpins; ++i) {
        if (phase_.load(std::memory_order_acquire) != phase) return;
        if (i % kYieldEvery == 0) {
            std::this_thread::yield();
        } else {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    }
    while (phase_.load(std::memory_order_acquire) == phase) phase_.wait(phase, std::memory_order_acquire);
}

}  // namespace vorlane
