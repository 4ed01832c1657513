// Helpers for the Windows tests: a recorder that stands in for message boxes (a real box would
// block the test), a message pump with a deadline, and temporary files.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "message_box_win32.h"

namespace pelorin::test {

struct RecordedBox {
  HWND owner;
  std::wstring text;
  std::wstring caption;
  UINT flags;
  DWORD threadId;
};

// Installs itself as the program's message-box function for its lifetime.
class BoxRecorder {
 public:
  BoxRecorder() {
    instance_ = this;
    previous_ = SetMessageBoxFunction(&Record);
  }
  ~BoxRecorder() {
    SetMessageBoxFunction(previous_);
    instance_ = nullptr;
  }
  std::vector<RecordedBox> boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
  }

 private:
  static int Record(HWND owner, const wchar_t* text, const wchar_t* caption, UINT flags) {
    BoxRecorder* self = instance_;
    std::lock_guard lock(self->mutex_);
    self->boxes_.push_back({owner, text, caption, flags, GetCurrentThreadId()});
    return IDOK;
  }

  static inline BoxRecorder* instance_ = nullptr;
  MessageBoxFunction previous_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<RecordedBox> boxes_;
};

// Handles every message waiting for this thread (dialog keys through `dialog`).
inline void PumpMessages(HWND dialog = nullptr) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (dialog != nullptr && IsWindow(dialog) && IsDialogMessageW(dialog, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// Pumps until `done()` holds or `timeoutMs` of real time has passed; returns done().
template <class Predicate>
bool PumpUntil(Predicate done, DWORD timeoutMs, HWND dialog = nullptr) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    PumpMessages(dialog);
    if (done()) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
  }
}

// A file in the temporary directory, removed when the object goes.
class TempFile {
 public:
  explicit TempFile(const std::wstring& name) {
    wchar_t directory[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    path_ = std::wstring(directory) + name;
    DeleteFileW(path_.c_str());
  }
  ~TempFile() { DeleteFileW(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool Write(const std::string& bytes) {
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
  }
  // Makes the file `size` bytes long without writing them (sparse where the file system can).
  bool Extend(uint64_t size) {
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    const bool ok = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return ok;
  }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

}  // namespace pelorin::test
