// Running C++ work without the interpreter lock while still answering Ctrl-C: the work asks
// poll() often, and every 50 ms poll() takes the lock briefly to run Python's signal handlers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>

namespace vorlane_engine {

class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()), last_(std::chrono::steady_clock::now()) {}
    ~Unlocked() { relock(); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    // True once a signal handler has raised (the exception is then pending).
    bool poll() {
        if (failed_) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(50)) return false;
        last_ = now;
        relock();
        failed_ = PyErr_CheckSignals() != 0;
        unlock();
        return failed_;
    }

    // Runs f with the lock held; f's false (a pending exception) makes later polls true.
    template <class F>
    bool locked(F&& f) {
        relock();
        const bool ok = f();
        unlock();
        failed_ = failed_ || !ok;
        return ok;
    }

    bool failed() const { return failed_; }

private:
    void relock() {
        if (state_ != nullptr) {
            PyEval_RestoreThread(state_);
            state_ = nullptr;
        }
    }
    void unlock() { state_ = PyEval_SaveThread(); }

    PyThreadState* state_;
    std::chrono::steady_clock::time_point last_;
    bool failed_ = false;
};

}  // namespace vorlane_engine
