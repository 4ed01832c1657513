#include "pipe_download_win32.h"

#include <memory>

#include "file_image_source_win32.h"
#include "pipe_discovery_win32.h"
#include "system_clock_win32.h"
#include "text_win32.h"

namespace pelorin {

bool HandlePipeLink::Write(const uint8_t* data, uint32_t size, uint32_t* written) {
  DWORD count = 0;
  const BOOL ok = pipe_.valid() && WriteFile(pipe_.get(), data, size, &count, nullptr);
  *written = ok ? count : 0;
  return ok != FALSE;
}

bool HandlePipeLink::Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) {
  DWORD count = 0;
  const BOOL ok = pipe_.valid() && ReadFile(pipe_.get(), buffer, capacity, &count, nullptr);
  *got = ok ? count : 0;
  return ok != FALSE;
}

namespace {

class ThreadCanceller : public PipeCallCanceller {
 public:
  explicit ThreadCanceller(HANDLE thread) : thread_(thread) {}
  // ERROR_NOT_FOUND (the call has just returned) is harmless: the watchdog cancels only under
  // its lock, and the worker cannot begin its next call without that lock.
  void CancelCall() override { CancelSynchronousIo(thread_.get()); }

 private:
  ScopedHandle thread_;
};

// The pauses, timestamps and deadlines of a download's threads: the job's clock, else the
// system's (stateless, shared).
Clock& DownloadClock(DownloadJob* job) {
  static SystemClock* clock = new SystemClock();  // never freed: threads may outlive main
  return job->clock != nullptr ? *job->clock : *clock;
}

// One device: copies its parameter entry and its pipe pair at once (the tables are shared by
// every download of the process), then owns the two pipes until it ends.
DWORD WINAPI PipeDeviceWorker(LPVOID parameter) {
  const WorkerParam param = *static_cast<const WorkerParam*>(parameter);
  const PipePair pair = ProcessPipeDeviceTable().pairs[param.deviceIndex];
  DownloadJob* job = param.job;

  const std::shared_ptr<Reporter> reporter = job->reporter;
  FileImageSource file(job->fileName);
  ImageSource& image = job->image != nullptr ? *job->image : file;
  RunPipeDeviceWorker(param.deviceIndex, std::make_unique<HandlePipeLink>(pair.outPipe),
                      std::make_unique<HandlePipeLink>(pair.inPipe), image, *reporter,
                      DownloadClock(job), param.watch.get(), param.limits);
  return 0;
}

class Win32ControllerEnvironment : public PipeControllerEnvironment {
 public:
  Win32ControllerEnvironment(DownloadJob* job, Reporter& reporter, const PipeWatchdog& watchdog,
                             PipeCallLimits limits)
      : job_(job),
        reporter_(reporter),
        watchdog_(watchdog),
        limits_(limits),
        table_(ProcessPipeDeviceTable()) {}

  int32_t OpenDevices() override { return OpenPipeDevices(reporter_, table_.pairs, &watchdog_); }
  uint32_t LastErrorCode() override { return GetLastError(); }

  std::string DevicePath(int32_t deviceIndex) override {
    return AnsiToUtf8(table_.devicePaths[deviceIndex]);
  }

  // Nobody waits for a worker. Its thread handle goes to the watchdog, which cancels its
  // overdue calls through it, before the thread runs.
  bool StartWorker(int32_t deviceIndex, PipeWatchdog& watchdog) override {
    WorkerParam& param = table_.params[deviceIndex];
    param.job = job_;
    param.deviceIndex = deviceIndex;
    param.limits = limits_;
    HANDLE thread = CreateThread(nullptr, 0, PipeDeviceWorker, &param, CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) return false;
    param.watch = watchdog.Enrol(ThreadCallCanceller(thread), DownloadClock(job_));
    ResumeThread(thread);
    return true;
  }

  void CloseDevicePipes(int32_t deviceIndex) override {
    PipePair& pair = table_.pairs[deviceIndex];
    if (ScopedHandle::IsValid(pair.outPipe)) CloseHandle(pair.outPipe);
    if (ScopedHandle::IsValid(pair.inPipe)) CloseHandle(pair.inPipe);
    pair.outPipe = INVALID_HANDLE_VALUE;
    pair.inPipe = INVALID_HANDLE_VALUE;
  }

 private:
  DownloadJob* job_;
  Reporter& reporter_;
  const PipeWatchdog& watchdog_;
  const PipeCallLimits limits_;
  PipeDeviceTable& table_;
};

DWORD WINAPI PipeDownloadController(LPVOID parameter) {
  auto watchdog = std::make_shared<PipeWatchdog>();
  RunPipeDownload(static_cast<DownloadJob*>(parameter), *watchdog);
  return 0;
}

}  // namespace

PipeDownloadResult RunPipeDownload(DownloadJob* job, PipeWatchdog& watchdog,
                                   PipeCallLimits limits) {
  const std::shared_ptr<Reporter> reporter = job->reporter;
  FileImageSource file(job->fileName);
  ImageSource& image = job->image != nullptr ? *job->image : file;
  Win32ControllerEnvironment environment(job, *reporter, watchdog, limits);
  return RunPipeDownloadController(*reporter, image, environment, watchdog);
}

std::unique_ptr<PipeCallCanceller> ThreadCallCanceller(HANDLE thread) {
  return std::make_unique<ThreadCanceller>(thread);
}

HANDLE StartPipeDownload(DownloadJob* job) {
  return CreateThread(nullptr, 0, PipeDownloadController, job, 0, nullptr);
}

}  // namespace pelorin
