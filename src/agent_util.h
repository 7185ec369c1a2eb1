// Helpers around JVM TI calls: the fatal error check, checked memory calls,
// system property conveniences, and owners for memory JVM TI hands out.
#pragma once

#include <jvmti.h>

#include <utility>

void check_jvmti_error(jvmtiEnv* jvmti, jvmtiError error, const char* message);
void* allocate(jvmtiEnv* jvmti, jint size);
void deallocate(jvmtiEnv* jvmti, void* memory);
int isPropertySet(jvmtiEnv* jvmti, const char* name, const char* expected);
void print_available_system_property_names(jvmtiEnv* jvmti);

// Memory from a JVM TI environment, returned with `deallocate` on scope exit.
template <typename T>
class JvmtiPtr {
public:
    JvmtiPtr() = default;
    explicit JvmtiPtr(jvmtiEnv* jvmti) : jvmti_(jvmti) {}
    // Adopts memory the environment already handed out.
    JvmtiPtr(jvmtiEnv* jvmti, T* ptr) : jvmti_(jvmti), ptr_(ptr) {}
    JvmtiPtr(const JvmtiPtr&) = delete;
    JvmtiPtr& operator=(const JvmtiPtr&) = delete;
    JvmtiPtr(JvmtiPtr&& other) noexcept
        : jvmti_(other.jvmti_), ptr_(std::exchange(other.ptr_, nullptr)) {}
    JvmtiPtr& operator=(JvmtiPtr&& other) noexcept {
        if (this != &other) {
            reset();
            jvmti_ = other.jvmti_;
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ~JvmtiPtr() { reset(); }

    T* get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    // Out-parameter for a JVM TI call; whatever was held is released first.
    T** out() {
        reset();
        return &ptr_;
    }
    T* release() { return std::exchange(ptr_, nullptr); }
    void reset() {
        if (ptr_ != nullptr) deallocate(jvmti_, std::exchange(ptr_, nullptr));
    }

private:
    jvmtiEnv* jvmti_ = nullptr;
    T* ptr_ = nullptr;
};

using JvmtiString = JvmtiPtr<char>;

// Reads a system property; an empty owner when JVM TI reports any error,
// which then lands in *error when the caller asks for it.
JvmtiString getSystemProperty(jvmtiEnv* jvmti, const char* name, jvmtiError* error = nullptr);
