#pragma once
// Pacing of the socket twins' waits, of their name lookup, and of their
// connection attempts across a host's addresses (the Happy Eyeballs way:
// staggered, not one by one).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace socketplan {

// An attempt that has not connected by then no longer holds up the next
// address; the one that answers first still wins.
constexpr int32_t AttemptDelayMs = 250;
// Every wait checks the abort flag at least this often, so a cancel whose
// wake-up datagram was dropped (or never had a socket) still ends it.
constexpr int32_t WaitSliceMs = 250;
// Attempts open at once: bounds descriptors and Winsock's 64-entry fd_set
// against a resolver answer of any length.
constexpr size_t MaxOpenAttempts = 16;

// The resolver's order, with the address families taking turns from the
// first one's family on, so that a family whose route drops packets delays
// the other by one attempt delay only.
template <class T, class FamilyOf>
std::vector<T> InterleaveFamilies(const std::vector<T>& in, FamilyOf familyOf) {
    if (in.empty()) return {};
    std::vector<T> first, other, out;
    for (const T& t : in) (familyOf(t) == familyOf(in.front()) ? first : other).push_back(t);
    for (size_t i = 0; i < first.size() || i < other.size(); ++i) {
        if (i < first.size()) out.push_back(first[i]);
        if (i < other.size()) out.push_back(other[i]);
    }
    return out;
}

// The result of work on a helper thread. The helper holds it too, so a
// waiter that gives up (time-out, cancel) leaves a thread that finishes on
// its own and frees what it found.
template <class T>
struct TBackground {
    std::mutex lock;
    std::condition_variable doneChanged;
    bool done = false;
    T value{};
    std::exception_ptr error;

    // Waits at most ms; true when the work has ended.
    bool Wait(int32_t ms) {
        std::unique_lock<std::mutex> g(lock);
        return doneChanged.wait_for(g, std::chrono::milliseconds(ms), [this] { return done; });
    }
    // Its value, or the exception it ended with. Only after Wait said true.
    T Take() {
        std::lock_guard<std::mutex> g(lock);
        if (error) std::rethrow_exception(error);
        return std::move(value);
    }
};

// Starts fn on a helper thread; null when no thread can be started.
template <class T, class Fn>
std::shared_ptr<TBackground<T>> StartInBackground(Fn fn) {
    auto state = std::make_shared<TBackground<T>>();
    try {
        std::thread([state, fn = std::move(fn)]() mutable {
            T value{};
            std::exception_ptr error;
            try {
                value = fn();
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard<std::mutex> g(state->lock);
            state->value = std::move(value);
            state->error = error;
            state->done = true;
            state->doneChanged.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return nullptr;
    }
    return state;
}

// The targets for host: from the system's resolver, or, where a test seam
// answers for the name, its addresses taken as numeric hosts (numericFlag).
// resolve(name, port, flags, out) appends; notFound throws.
template <class T, class Seam, class Resolve, class NotFound>
std::vector<T> TargetsFor(const std::string& host, int port, const Seam& seam, int numericFlag, Resolve resolve,
                          NotFound notFound) {
    std::vector<T> found;
    if (!seam) {
        resolve(host, port, 0, found);
        return found;
    }
    for (const std::string& a : seam(host)) resolve(a, port, numericFlag, found);
    if (found.empty()) notFound();
    return found;
}

// A name lookup cannot be interrupted (Windows' cancellable one needs
// Windows 8, and the utility runs on 7), so it runs in the background and
// the connect waits for it in slices, within its own time-out and open to
// cancel. remainingMs gets what is left of timeoutMs for connecting;
// onTimeOut and onCancel throw.
template <class T, class Fn, class OnTimeOut, class OnCancel>
T LookUpWithin(Fn lookup, const std::atomic<bool>& cancelled, int32_t timeoutMs, int32_t& remainingMs,
               OnTimeOut onTimeOut, OnCancel onCancel) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto left = [&deadline] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    };
    auto state = StartInBackground<T>(lookup);
    if (!state) {
        T value = lookup();
        if (cancelled) onCancel();
        if (left() <= 0) onTimeOut();
        remainingMs = static_cast<int32_t>(left());
        return value;
    }
    for (;;) {
        if (cancelled) onCancel();
        auto ms = left();
        if (ms <= 0) onTimeOut();
        if (state->Wait(static_cast<int32_t>(std::min<long long>(ms, WaitSliceMs)))) break;
    }
    T value = state->Take();
    if (cancelled) onCancel();
    if (left() <= 0) onTimeOut();
    remainingMs = static_cast<int32_t>(left());
    return value;
}

// The targets Connect tries: an address literal as it stands (no lookup, so
// no helper thread, which under Wine costs milliseconds), else a lookup within
// the time-out as above. addLiteral(host, port, numericFlag, out) appends and
// says whether host was a literal; resolve as for TargetsFor; notFound(name)
// throws. Nothing the lookup runs refers to the caller's stack: a lookup
// given up on may outlive the call.
template <class T, class Seam, class AddLiteral, class Resolve, class NotFound, class OnTimeOut, class OnCancel>
std::vector<T> ConnectTargets(const std::string& host, int port, const Seam& seam, int numericFlag,
                              AddLiteral addLiteral, Resolve resolve, NotFound notFound,
                              const std::atomic<bool>& cancelled, int32_t timeoutMs, int32_t& remainingMs,
                              OnTimeOut onTimeOut, OnCancel onCancel) {
    remainingMs = timeoutMs;
    std::vector<T> targets;
    if (!seam && addLiteral(host, port, numericFlag, targets)) return targets;
    return LookUpWithin<std::vector<T>>(
        [host, port, seam, numericFlag, resolve, notFound] {
            return TargetsFor<T>(host, port, seam, numericFlag, resolve, [&host, &notFound] { notFound(host); });
        },
        cancelled, timeoutMs, remainingMs, onTimeOut, onCancel);
}

}  // namespace socketplan
