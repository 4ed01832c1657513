#include "cancellation_win32.h"

namespace pelorin::cli {
namespace {

BOOL WINAPI ConsoleHandler(DWORD event) {
  return Cancellation::Process().OnConsoleEvent(event);
}

LRESULT CALLBACK SessionWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION: return TRUE;  // the record is finished on WM_ENDSESSION
    case WM_ENDSESSION: Cancellation::Process().OnEndSession(wParam != FALSE); return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
  }
}

// A hidden top-level window (session messages reach only those) with its own message loop,
// until a WM_QUIT posted to the thread. `ready` is set once the window exists (or cannot be
// made).
DWORD WINAPI SessionWindowThread(LPVOID ready) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = SessionWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"PelorinCliSession";
  HWND window = nullptr;
  if (RegisterClassW(&windowClass)) {
    window = CreateWindowExW(0, windowClass.lpszClassName, L"PelorinCli", WS_OVERLAPPED, 0, 0, 0,
                             0, nullptr, nullptr, windowClass.hInstance, nullptr);
  }
  // The queue exists once the thread has called a window function: a WM_QUIT posted from now on
  // reaches the loop below.
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
  SetEvent(static_cast<HANDLE>(ready));
  if (window == nullptr) return 0;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  DestroyWindow(window);
  return 0;
}

}  // namespace

Cancellation::Cancellation()
    : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      finished_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

Cancellation::~Cancellation() {
  if (event_ != nullptr) CloseHandle(event_);
  if (finished_ != nullptr) CloseHandle(finished_);
}

Cancellation& Cancellation::Process() {
  static Cancellation* process = new Cancellation();  // handlers may run while main ends
  return *process;
}

void Cancellation::Install() {
  SetConsoleCtrlHandler(&ConsoleHandler, TRUE);
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  sessionThread_ =
      CreateThread(nullptr, 0, SessionWindowThread, ready, 0, &sessionThreadId_);
  if (sessionThread_ != nullptr) {
    HANDLE waits[2] = {ready, sessionThread_};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  }
  CloseHandle(ready);
}

void Cancellation::Uninstall() {
  if (sessionThread_ == nullptr) return;
  // Ended before the program returns. A session end being handled holds the thread for at most
  // CLOSE_GRACE_MS, and Finished was called before this.
  PostThreadMessageW(sessionThreadId_, WM_QUIT, 0, 0);
  WaitForSingleObject(sessionThread_, CLOSE_GRACE_MS + 1000);
  CloseHandle(sessionThread_);
  sessionThread_ = nullptr;
}

void Cancellation::Watch(std::shared_ptr<PipeWatchdog> watchdog) {
  std::lock_guard lock(mutex_);
  watchdog_ = std::move(watchdog);
  if (watchdog_ && requested_) watchdog_->CancelAll();
}

void Cancellation::Watch(CancellableDriverTransport* transport) {
  std::lock_guard lock(mutex_);
  transport_ = transport;
  if (transport_ != nullptr && requested_) transport_->Cancel();
}

void Cancellation::OnCancel(std::function<void()> stop) {
  std::lock_guard lock(mutex_);
  onCancel_ = std::move(stop);
  if (onCancel_ && requested_) onCancel_();
}

void Cancellation::Cancel() {
  run_.Request();
  {
    std::lock_guard lock(mutex_);
    if (!requested_) requestedAt_ = GetTickCount();
    requested_ = true;  // under the lock: Watch sees it or the watched object is cancelled here
    // First what decides how the devices in flight are told (the station: "cancelled"), then
    // the calls they are blocked in, which end at once and report.
    if (onCancel_) onCancel_();
    if (watchdog_) watchdog_->CancelAll();  // every blocked pipe call returns at once
    if (transport_ != nullptr) transport_->Cancel();
  }
  SetEvent(event_);
}

void Cancellation::Finished() {
  SetEvent(finished_);
}

DWORD Cancellation::GraceLeft() const {
  // The handler's wait began when the stop came; what is written after it ends is lost.
  constexpr DWORD kMargin = 250;
  if (!requested_) return CLOSE_GRACE_MS - kMargin;
  const DWORD spent = GetTickCount() - requestedAt_;
  return spent + kMargin >= CLOSE_GRACE_MS ? 0 : CLOSE_GRACE_MS - kMargin - spent;
}

BOOL Cancellation::OnConsoleEvent(DWORD event) {
  Cancel();
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // Windows ends the process when this returns: not before the record is written.
    WaitForSingleObject(finished_, CLOSE_GRACE_MS);
  }
  return TRUE;
}

void Cancellation::OnEndSession(bool ending) {
  if (!ending) return;
  Cancel();
  WaitForSingleObject(finished_, CLOSE_GRACE_MS);
}

}  // namespace pelorin::cli
