#pragma once

#include <atomic>
#include <mutex>
#include <utility>

namespace sonorix {

namespace detail {
// One of a few locks, chosen by address: held only while a made value is stored.
std::mutex& onceValueLock(const void* slot);
} // namespace detail

// A value made on first use, from any thread. Not std::once_flag: glibc's first call_once makes
// a system call, and a library keeps several such values for each of its 40,000 tracks.
template <class T>
struct OnceValue {
    std::atomic<bool> ready{false};
    T value{};
};

// slot's value, made by make() if no thread has stored one yet. make runs without a lock, so it
// may fill other values; two threads may both make one, and the first stored is kept (make must
// give equal values every time).
template <class T, class Make>
const T& fillOnce(OnceValue<T>& slot, Make make) {
    if (!slot.ready.load(std::memory_order_acquire)) {
        T made = make();
        std::lock_guard<std::mutex> lock(detail::onceValueLock(&slot));
        if (!slot.ready.load(std::memory_order_relaxed)) {
            slot.value = std::move(made);
            slot.ready.store(true, std::memory_order_release);
        }
    }
    return slot.value;
}

} // namespace sonorix
