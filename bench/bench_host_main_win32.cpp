// bench_host.exe: the bulk-pipe download without a window, for the throughput benchmark
// (bench/pipe_throughput.sh). It runs the product's own controller and workers
// (RunPipeDownload: SetupAPI discovery, CreateFileA, one worker thread per device, the watchdog)
// on the main thread, with a reporter that drops every post and a clock that never pauses, so
// that what Pelorin.exe spends beyond it is the dialog's share.
//
//   bench_host.exe IMAGE [--pauses] [--go FILE] [--done FILE] [--quit FILE]
//
// --pauses keeps the protocol's two 1 s pauses (real Sleep), to tell their effect apart.
// Prints "ready" once started; with --go it then waits until FILE exists, so that the benchmark
// can read the process's CPU time from outside just before the download. After the download it
// prints one line per device and a "result" line with its own CPU times for the download
// (GetProcessTimes, user and kernel ms) and wall time (GetTickCount ms), writes the --done file,
// and with --quit waits until that file exists before it ends (the benchmark reads the CPU time
// again meanwhile). Boxes the download would show go to stderr. Exit status: 0 when every device
// verified, 1 otherwise.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "device_activity.h"
#include "download_job_win32.h"
#include "download_report.h"
#include "pipe_download_win32.h"
#include "pipe_watchdog.h"
#include "text_win32.h"

namespace {

// Keeps the per-device facts (for the lines printed at the end) and drops the posts: no window.
class SilentReporter : public pelorin::BoardReporter {
 public:
  using BoardReporter::BoardReporter;
  void PostStatus(int32_t, int32_t) override {}
  void PostProgress(int32_t, int32_t) override {}
  void Control(pelorin::DownloadControl, int32_t) override {}
  void ShowStopBox(std::string_view text, std::string_view caption) override {
    std::fprintf(stderr, "box: %.*s|%.*s\n", static_cast<int>(caption.size()), caption.data(),
                 static_cast<int>(text.size()), text.data());
  }
  void ShowAppBox(std::string_view text, pelorin::BoxIcon) override {
    std::fprintf(stderr, "box: Pelorin|%.*s\n", static_cast<int>(text.size()), text.data());
  }
};

// The protocol's pauses cost no time here (unless asked for); ticks are the system's, as the
// watchdog needs them.
class BenchClock : public pelorin::Clock {
 public:
  explicit BenchClock(bool pauses) : pauses_(pauses) {}
  void Sleep(uint32_t milliseconds) override {
    if (pauses_) ::Sleep(milliseconds);
  }
  uint32_t TickCount() override { return GetTickCount(); }

 private:
  bool pauses_;
};

const char* OutcomeName(const pelorin::DeviceActivity& device) {
  if (!device.ended) return "not-ended";
  switch (device.outcome) {
    case pelorin::DeviceOutcome::Verified: return "verified";
    case pelorin::DeviceOutcome::VerificationError: return "verification-error";
    case pelorin::DeviceOutcome::LinkError: return "link-error";
    case pelorin::DeviceOutcome::ImageError: return "image-error";
    case pelorin::DeviceOutcome::NotStarted: return "not-started";
  }
  return "unknown";
}

const char* ResultName(pelorin::PipeDownloadResult result) {
  switch (result) {
    case pelorin::PipeDownloadResult::Devices: return "devices";
    case pelorin::PipeDownloadResult::ImageError: return "image-error";
    case pelorin::PipeDownloadResult::NoDevice: return "no-device";
    case pelorin::PipeDownloadResult::Cancelled: return "cancelled";
  }
  return "unknown";
}

// User and kernel time of this process so far, in 100 ns units.
struct CpuTimes {
  uint64_t user = 0, kernel = 0;
};

CpuTimes ProcessCpu() {
  FILETIME created, exited, kernel, user;
  CpuTimes times;
  if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
    times.user = (static_cast<uint64_t>(user.dwHighDateTime) << 32) | user.dwLowDateTime;
    times.kernel = (static_cast<uint64_t>(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime;
  }
  return times;
}

void WaitForFile(const std::wstring& path) {
  if (path.empty()) return;
  while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(10);
}

void Touch(const std::wstring& path) {
  if (path.empty()) return;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring image, goFile, doneFile, quitFile;
  bool pauses = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--pauses")
      pauses = true;
    else if (i + 1 < argc && arg == L"--go")
      goFile = argv[++i];
    else if (i + 1 < argc && arg == L"--done")
      doneFile = argv[++i];
    else if (i + 1 < argc && arg == L"--quit")
      quitFile = argv[++i];
    else if (image.empty() && arg.rfind(L"--", 0) != 0)
      image = arg;
    else
      image.clear(), i = argc;
  }
  if (image.empty()) {
    std::fprintf(
        stderr, "usage: bench_host.exe IMAGE [--pauses] [--go FILE] [--done FILE] [--quit FILE]\n");
    return 2;
  }
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExW(image.c_str(), GetFileExInfoStandard, &attributes)) {
    std::fprintf(stderr, "bench_host: cannot read the size of %s\n",
                 pelorin::WideToUtf8(image).c_str());
    return 2;
  }

  // Filled as the dialog fills it for a download, except that nothing has a window.
  auto* job = new pelorin::DownloadJob;  // never freed, as the dialog's: workers may outlive us
  auto* activity = new pelorin::DeviceActivityBoard;  // never freed, as the dialog's
  job->fileName = image;
  job->reporter = std::make_shared<SilentReporter>(activity, activity->Begin());
  BenchClock clock(pauses);
  job->clock = &clock;

  std::printf("ready\n");
  std::fflush(stdout);
  WaitForFile(goFile);

  const CpuTimes before = ProcessCpu();
  const DWORD startTick = GetTickCount();
  auto watchdog = std::make_shared<pelorin::PipeWatchdog>();
  const pelorin::PipeDownloadResult result = pelorin::RunPipeDownload(job, *watchdog);
  const DWORD endTick = GetTickCount();
  const CpuTimes after = ProcessCpu();

  int devices = 0, verified = 0;
  for (int k = 0; k < pelorin::PROGRESS_BAR_COUNT; ++k) {
    const pelorin::DeviceActivity device = activity->Device(k);
    if (!device.ready) continue;
    ++devices;
    if (device.ended && device.outcome == pelorin::DeviceOutcome::Verified) ++verified;
    std::printf("device=%d outcome=%s bytes=%llu ms=%u dataMs=%u\n", k, OutcomeName(device),
                static_cast<unsigned long long>(device.bytesSent), device.elapsedMs(),
                device.sending ? device.lastDataTick - device.firstDataTick : 0u);
  }
  std::printf("result=%s devices=%d verified=%d cpuUserMs=%llu cpuKernelMs=%llu wallMs=%lu\n",
              ResultName(result), devices, verified,
              static_cast<unsigned long long>((after.user - before.user) / 10000),
              static_cast<unsigned long long>((after.kernel - before.kernel) / 10000),
              static_cast<unsigned long>(endTick - startTick));
  std::fflush(stdout);
  Touch(doneFile);
  WaitForFile(quitFile);
  return result == pelorin::PipeDownloadResult::Devices && verified == devices ? 0 : 1;
}
