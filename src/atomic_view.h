// Atomic access to a plain variable that other code (the Java agent's
// record, the JVM's callbacks) also reads as a plain one: what
// std::atomic_ref gives, which not every C++ library here has yet (the
// macOS toolchain's libc++ lacks it). GCC's and Clang's atomic builtins.
#pragma once

#include <atomic>

template <typename T>
class AtomicView {
public:
    explicit AtomicView(T& slot) : slot_(&slot) {}
    T load(std::memory_order order = std::memory_order_seq_cst) const { return __atomic_load_n(slot_, toBuiltin(order)); }
    void store(T value, std::memory_order order = std::memory_order_seq_cst) {
        __atomic_store_n(slot_, value, toBuiltin(order));
    }
    T exchange(T value, std::memory_order order = std::memory_order_seq_cst) {
        return __atomic_exchange_n(slot_, value, toBuiltin(order));
    }

private:
    static constexpr int toBuiltin(std::memory_order order) {
        switch (order) {
            case std::memory_order_relaxed: return __ATOMIC_RELAXED;
            case std::memory_order_consume: return __ATOMIC_CONSUME;
            case std::memory_order_acquire: return __ATOMIC_ACQUIRE;
            case std::memory_order_release: return __ATOMIC_RELEASE;
            case std::memory_order_acq_rel: return __ATOMIC_ACQ_REL;
            default: return __ATOMIC_SEQ_CST;
        }
    }
    T* slot_;
};
