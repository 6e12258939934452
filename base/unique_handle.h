#pragma once
// Move-only owner of one Windows handle (or any pointer-like value) that is
// closed exactly once, on whatever path the owner goes out of scope.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <utility>

// T: the handle type. Close: the function that releases it. Invalid: the
// value that means "no handle" (0 for most, -1 for INVALID_HANDLE_VALUE).
template <typename T, auto Close, std::intptr_t Invalid = 0> class UniqueAny {
  public:
    UniqueAny() noexcept = default;
    explicit UniqueAny(T value) noexcept : value_(value) {}
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    ~UniqueAny() { reset(); }

    static T InvalidValue() noexcept { return reinterpret_cast<T>(Invalid); }

    T get() const noexcept { return value_; }
    // For pointer-like T (a COM interface, say): its members.
    T operator->() const noexcept { return value_; }
    // Releases what is held and gives the place for a function that returns
    // a new value through a pointer (CoCreateInstance, QueryInterface).
    T* put() noexcept {
        reset();
        return &value_;
    }
    explicit operator bool() const noexcept { return value_ != InvalidValue(); }

    T release() noexcept { return std::exchange(value_, InvalidValue()); }
    // Closing keeps the caller's last error, so that a failure can be
    // reported after its handles are let go.
    void reset(T value = InvalidValue()) noexcept {
        T old = std::exchange(value_, value);
        if (old != InvalidValue()) {
            const DWORD error = GetLastError();
            Close(old);
            SetLastError(error);
        }
    }

  private:
    T value_ = InvalidValue();
};

// The owners more than one part of the program needs.
using UniqueHandle = UniqueAny<HANDLE, CloseHandle>;
using UniqueFind = UniqueAny<HANDLE, FindClose, -1>;         // INVALID_HANDLE_VALUE
using UniqueFileHandle = UniqueAny<HANDLE, CloseHandle, -1>; // from CreateFileW
using UniqueFile = UniqueAny<FILE*, std::fclose>;
