#include "sim_pipe_server_win32.h"

#include <utility>

namespace pelorin::devsim {
namespace {

// One read takes a whole data write of the host (128 KiB) with room to spare; longer messages
// are collected over several reads.
constexpr DWORD kReadSize = 256 * 1024;

// Instances listening at once per pipe name: a host that opens the same pipe again right after
// a connection finds one ready even before the listener of that connection has made a new one.
constexpr int kListenersPerPipe = 2;

enum class Io { Ok, Closed, Stopped };

// Overlapped I/O on one pipe handle that gives up when the stop event is set. One object per
// thread: each has its own completion event.
class PipeIo {
 public:
  PipeIo(HANDLE pipe, HANDLE stop)
      : pipe_(pipe), stop_(stop), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~PipeIo() { CloseHandle(event_); }
  PipeIo(const PipeIo&) = delete;
  PipeIo& operator=(const PipeIo&) = delete;

  // Reads one whole message into buffer[0..*length).
  Io ReadMessage(std::vector<uint8_t>& buffer, size_t* length) {
    *length = 0;
    for (;;) {
      if (buffer.size() < *length + kReadSize) buffer.resize(*length + kReadSize);
      DWORD got = 0;
      bool more = false;
      Io io = Complete(ReadFile(pipe_, buffer.data() + *length, kReadSize, nullptr, Start()), &got,
                       &more);
      if (io != Io::Ok) return io;
      *length += got;
      if (!more) return Io::Ok;
    }
  }

  Io WriteMessage(const uint8_t* data, size_t size) {
    DWORD written = 0;
    bool more = false;
    Io io = Complete(WriteFile(pipe_, data, static_cast<DWORD>(size), nullptr, Start()), &written,
                     &more);
    if (io == Io::Ok && written != size) return Io::Closed;
    return io;
  }

 private:
  OVERLAPPED* Start() {
    overlapped_ = {};
    ResetEvent(event_);
    overlapped_.hEvent = event_;
    return &overlapped_;
  }

  Io Complete(BOOL started, DWORD* transferred, bool* more) {
    if (!started) {
      DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return Io::Closed;
    }
    HANDLE waits[2] = {event_, stop_};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
      CancelIoEx(pipe_, &overlapped_);
      GetOverlappedResult(pipe_, &overlapped_, transferred, TRUE);
      return Io::Stopped;
    }
    if (GetOverlappedResult(pipe_, &overlapped_, transferred, FALSE)) return Io::Ok;
    if (GetLastError() == ERROR_MORE_DATA) {
      *more = true;
      return Io::Ok;
    }
    return Io::Closed;
  }

  HANDLE pipe_;
  HANDLE stop_;
  HANDLE event_;
  OVERLAPPED overlapped_ = {};
};

// For a device that hangs: nothing is read any more, so the host's next write stays blocked; a
// peek tells when the host closes its end.
Io WaitForHostClose(HANDLE pipe, HANDLE stop) {
  auto closed = [pipe] { return !PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, nullptr); };
  for (;;) {
    if (closed()) return Io::Closed;
    // A close that came while waiting still counts when the server stops right after it.
    if (WaitForSingleObject(stop, 50) == WAIT_OBJECT_0) return closed() ? Io::Closed : Io::Stopped;
  }
}

}  // namespace

struct SimPipeDevice::Session {
  size_t index = 0;
  std::unique_ptr<SessionEndpoint> endpoint;
  std::mutex mutex;
  HANDLE inPipe = nullptr;   // while PIPE00 is served for this session
  HANDLE outPipe = nullptr;  // while PIPE01 is served for this session
  bool inClosed = false;     // the host closed its end of PIPE00
  bool outClosed = false;    // ... of PIPE01
  SimSessionTimes times;

  // A vanished device drops off the bus: both pipes stop working for the host.
  void CutPipes() {
    std::lock_guard lock(mutex);
    if (inPipe) DisconnectNamedPipe(inPipe);
    if (outPipe) DisconnectNamedPipe(outPipe);
  }
};

SimPipeDevice::SimPipeDevice(std::string reference, SimDeviceOptions options,
                             EndpointFactory factory)
    : reference_(std::move(reference)), options_(options), factory_(std::move(factory)) {}

SimPipeDevice::~SimPipeDevice() {
  Stop();
}

std::wstring SimPipeDevice::PipeName(SimPipe pipe) const {
  std::wstring name = L"\\\\.\\pipe\\" + std::wstring(reference_.begin(), reference_.end());
  if (pipe == SimPipe::In) name += L"\\PIPE00";
  if (pipe == SimPipe::Out) name += L"\\PIPE01";
  return name;
}

HANDLE SimPipeDevice::CreateInstance(SimPipe pipe) const {
  return CreateNamedPipeW(PipeName(pipe).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                          PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr);
}

bool SimPipeDevice::Start(std::string* error) {
  if (started_) return true;
  stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const bool served[3] = {options_.serveInterface, options_.serveInPipe, options_.serveOutPipe};
  std::vector<std::pair<int, HANDLE>> first;
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; served[i] && k < kListenersPerPipe; ++k) {
      HANDLE instance = CreateInstance(static_cast<SimPipe>(i));
      if (instance == INVALID_HANDLE_VALUE) {
        if (error) *error = "CreateNamedPipe failed: " + std::to_string(GetLastError());
        for (auto& [pipe, h] : first) CloseHandle(h);
        CloseHandle(stopEvent_);
        stopEvent_ = nullptr;
        return false;
      }
      first.emplace_back(i, instance);
    }
  }
  started_ = true;
  for (auto& [i, instance] : first) {
    HANDLE listening = instance;
    int pipe = i;
    Spawn([this, pipe, listening] { Listen(static_cast<SimPipe>(pipe), listening); });
  }
  return true;
}

void SimPipeDevice::Spawn(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  threads_.emplace_back(std::move(work));
}

void SimPipeDevice::Listen(SimPipe pipe, HANDLE instance) {
  HANDLE connectEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  while (instance != INVALID_HANDLE_VALUE) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = connectEvent;
    ResetEvent(connectEvent);
    bool connected = ConnectNamedPipe(instance, &overlapped) != FALSE;
    DWORD error = connected ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_PENDING) {
      HANDLE waits[2] = {connectEvent, stopEvent_};
      DWORD transferred = 0;
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(instance, &overlapped);
        GetOverlappedResult(instance, &overlapped, &transferred, TRUE);
        CloseHandle(instance);
        break;
      }
      connected = GetOverlappedResult(instance, &overlapped, &transferred, FALSE) != FALSE;
      error = connected ? ERROR_SUCCESS : GetLastError();
    }
    // A host that opened and closed again before the connection was seen still counts as one
    // connection (served at once, its close seen by the first read).
    if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ||
        error == ERROR_PIPE_NOT_CONNECTED)
      connected = true;
    if (!connected) {
      CloseHandle(instance);
      if (WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0) break;
      instance = CreateInstance(pipe);
      continue;
    }
    const ULONGLONG connectedAt = GetTickCount64();
    counters_[Index(pipe)].connects++;
    if (events_.opened) events_.opened(pipe);
    // The next instance listens before the connected one is served.
    HANDLE next = CreateInstance(pipe);
    Spawn([this, pipe, instance, connectedAt] { Serve(pipe, instance, connectedAt); });
    instance = next;
  }
  CloseHandle(connectEvent);
}

SimPipeDevice::Session& SimPipeDevice::SessionFor(SimPipe pipe, ULONGLONG connectedAt) {
  std::lock_guard lock(mutex_);
  size_t index = pipe == SimPipe::In ? inConnections_++ : outConnections_++;
  while (sessions_.size() <= index) {
    auto session = std::make_unique<Session>();
    session->index = sessions_.size();
    session->endpoint = factory_();
    sessions_.push_back(std::move(session));
  }
  Session& session = *sessions_[index];
  {
    std::lock_guard sessionLock(session.mutex);
    if (session.times.firstOpen == 0 || connectedAt < session.times.firstOpen)
      session.times.firstOpen = connectedAt;
  }
  // A session that appears while the server stops ends at once (Stop may have passed it by).
  if (WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0) session.endpoint->Shutdown();
  return session;
}

void SimPipeDevice::HostClosed(Session& session, SimPipe pipe) {
  session.endpoint->HostClosed(pipe);
  bool ended = false;
  {
    std::lock_guard lock(session.mutex);
    (pipe == SimPipe::In ? session.inClosed : session.outClosed) = true;
    if (session.inClosed && session.outClosed && session.times.ended == 0) {
      session.times.ended = GetTickCount64();
      ended = true;
    }
  }
  if (ended && events_.sessionEnded) events_.sessionEnded(session.index);
}

void SimPipeDevice::Serve(SimPipe pipe, HANDLE connected, ULONGLONG connectedAt) {
  switch (pipe) {
    case SimPipe::Interface: ServeInterface(connected); break;
    case SimPipe::In: ServeIn(connected, SessionFor(pipe, connectedAt)); break;
    case SimPipe::Out: ServeOut(connected, SessionFor(pipe, connectedAt)); break;
  }
  DisconnectNamedPipe(connected);
  CloseHandle(connected);
}

void SimPipeDevice::ServeInterface(HANDLE pipe) {
  // The probe only opens and closes; wait for the close.
  PipeIo io(pipe, stopEvent_);
  std::vector<uint8_t> buffer;
  size_t length = 0;
  while (io.ReadMessage(buffer, &length) == Io::Ok) {
  }
  counters_[Index(SimPipe::Interface)].disconnects++;
}

void SimPipeDevice::ServeIn(HANDLE pipe, Session& session) {
  {
    std::lock_guard lock(session.mutex);
    session.inPipe = pipe;
  }
  // The host never writes on the in-pipe; a read that fails tells that it closed its handle.
  std::thread watcher([this, pipe, &session] {
    PipeIo io(pipe, stopEvent_);
    std::vector<uint8_t> buffer;
    size_t length = 0;
    Io ended;
    while ((ended = io.ReadMessage(buffer, &length)) == Io::Ok) {
    }
    if (ended == Io::Closed) HostClosed(session, SimPipe::In);
  });
  PipeIo io(pipe, stopEvent_);
  std::vector<uint8_t> message;
  while (session.endpoint->NextDeviceMessage(&message)) {
    if (io.WriteMessage(message.data(), message.size()) != Io::Ok) break;
  }
  if (session.endpoint->Vanished()) session.CutPipes();
  watcher.join();
  counters_[Index(SimPipe::In)].disconnects++;
  std::lock_guard lock(session.mutex);
  session.inPipe = nullptr;
}

void SimPipeDevice::ServeOut(HANDLE pipe, Session& session) {
  {
    std::lock_guard lock(session.mutex);
    session.outPipe = pipe;
  }
  PipeIo io(pipe, stopEvent_);
  std::vector<uint8_t> buffer;
  size_t length = 0;
  Io result;
  while ((result = io.ReadMessage(buffer, &length)) == Io::Ok) {
    if (session.endpoint->Vanished()) continue;  // the device is gone; what arrives is lost
    session.endpoint->HostMessage(buffer.data(), length);
    if (session.endpoint->Hung()) {
      result = WaitForHostClose(pipe, stopEvent_);
      break;
    }
  }
  if (result == Io::Closed) HostClosed(session, SimPipe::Out);
  counters_[Index(SimPipe::Out)].disconnects++;
  std::lock_guard lock(session.mutex);
  session.outPipe = nullptr;
}

void SimPipeDevice::Stop() {
  if (!started_) return;
  started_ = false;
  SetEvent(stopEvent_);
  {
    std::lock_guard lock(mutex_);
    for (auto& session : sessions_) session->endpoint->Shutdown();
  }
  // Listeners end first, so no thread is added while the rest are joined; serving threads may
  // still create sessions, which are told to end as they appear.
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      threads.swap(threads_);
      for (auto& session : sessions_) session->endpoint->Shutdown();
    }
    if (threads.empty()) break;
    for (auto& thread : threads) thread.join();
  }
  CloseHandle(stopEvent_);
  stopEvent_ = nullptr;
}

bool SimPipeDevice::WaitUntilNoClients(DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (OpenClients(SimPipe::Interface) == 0 && OpenClients(SimPipe::In) == 0 &&
        OpenClients(SimPipe::Out) == 0)
      return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
}

void SimPipeDevice::ForEachSession(const std::function<void(SessionEndpoint&)>& visit) const {
  std::lock_guard lock(mutex_);
  for (auto& session : sessions_) visit(*session->endpoint);
}

size_t SimPipeDevice::SessionCount() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

std::vector<SimSessionTimes> SimPipeDevice::SessionTimes() const {
  std::lock_guard lock(mutex_);
  std::vector<SimSessionTimes> times;
  for (auto& session : sessions_) {
    std::lock_guard sessionLock(session->mutex);
    times.push_back(session->times);
  }
  return times;
}

}  // namespace pelorin::devsim
