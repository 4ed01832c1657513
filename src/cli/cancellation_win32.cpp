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

// A hidden top-level window (session messages reach only those) with its own message loop.
DWORD WINAPI SessionWindowThread(LPVOID) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = SessionWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"PelorinCliSession";
  if (!RegisterClassW(&windowClass)) return 0;
  if (!CreateWindowExW(0, windowClass.lpszClassName, L"PelorinCli", WS_OVERLAPPED, 0, 0, 0, 0,
                       nullptr, nullptr, windowClass.hInstance, nullptr))
    return 0;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
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
  if (HANDLE thread = CreateThread(nullptr, 0, SessionWindowThread, nullptr, 0, nullptr))
    CloseHandle(thread);
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
