// A small fork-join pool: the calling thread and size() - 1 workers run one function together
// and meet again when all have returned. Rounds of elimination and level passes hand work out
// thousands of times a second, so a waiting worker spins briefly before it sleeps.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

namespace vorlane {

class ThreadPool {
public:
    // Starts threads - 1 workers (none for 0 or 1). When the system refuses a thread the pool
    // runs with those it has: callers' results never depend on the pool's size.
    explicit ThreadPool(unsigned threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    unsigned size() const { return static_cast<unsigned>(workers_.size()) + 1; }

    // Calls fn(w) once for every w in [0, size()), w = 0 on the calling thread, and returns
    // when every call has returned. An exception thrown by any call is rethrown here (the
    // lowest w's) once all have returned.
    template <class F>
    void run(F&& fn) {
        auto call = [](void* context, unsigned w) { (*static_cast<std::remove_reference_t<F>*>(context))(w); };
        dispatch(call, &fn);
    }

    // [begin, end) of part w when [0, n) is cut into size() contiguous parts.
    std::pair<uint64_t, uint64_t> part(uint64_t n, unsigned w) const {
        const uint64_t p = size();
        return {n * w / p, n * (w + 1) / p};
    }

    // The threads this process may run on (at least 1).
    static unsigned available_threads();

private:
    using Call = void (*)(void*, unsigned);
    void dispatch(Call call, void* context);
    void work(unsigned w);
    void call_one(unsigned w);

    std::vector<std::thread> workers_;
    std::vector<std::exception_ptr> errors_;
    Call call_ = nullptr;
    void* context_ = nullptr;
    std::atomic<uint64_t> generation_{0};
    std::atomic<unsigned> pending_{0};
    std::atomic<bool> closing_{false};
};

// Where the threads of one pool.run meet between the phases of their work: no thread passes
// wait() until all count threads have reached it, and each then sees what every thread wrote
// before it. Level passes meet once per level, thousands of times per apply, so a waiting
// thread spins briefly before it sleeps, as the pool's workers do.
class SpinBarrier {
public:
    explicit SpinBarrier(unsigned count) : count_(count) {}
    void wait();

private:
    const unsigned count_;
    std::atomic<unsigned> arrived_{0};
    std::atomic<uint32_t> phase_{0};
};

}  // namespace vorlane
