// Move-only owner of one Windows HANDLE. Both null and INVALID_HANDLE_VALUE mean "no handle",
// since CreateFile and CreateThread fail with different ones of the two.
#pragma once

#include <windows.h>

#include <utility>

namespace pelorin {

class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { Reset(); }

  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  static bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

  HANDLE get() const { return handle_; }
  bool valid() const { return IsValid(handle_); }
  explicit operator bool() const { return valid(); }

  // Gives the handle up without closing it.
  HANDLE Release() { return std::exchange(handle_, nullptr); }
  // Closes the owned handle, if any, and takes `handle`.
  void Reset(HANDLE handle = nullptr) {
    HANDLE old = std::exchange(handle_, handle);
    if (IsValid(old) && old != handle) CloseHandle(old);
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace pelorin
