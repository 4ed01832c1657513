// Named-pipe servers that stand for one simulated bulk-pipe device under Wine.
//
// A device serves up to three pipe names below \\.\pipe\<reference>:
//   <reference>          the bare interface path, opened once by the host's probe;
//   <reference>\PIPE00   in-pipe, device to host;
//   <reference>\PIPE01   out-pipe, host to device.
// Every pipe is a message pipe (each host write arrives as one message, a zero-length one
// included) with unlimited instances; a new instance listens as soon as one is connected, so
// the host can open the device again in the next download.
//
// The n-th connection of PIPE00 and the n-th connection of PIPE01 form the device's n-th
// session. Each session gets its own SessionEndpoint from the factory: the device's protocol side,
// which receives every PIPE01 message and produces the messages written on PIPE00. The server
// keeps when each session was first opened and when the host had closed both of its pipes, and
// tells a listener of both moments (see SimHostEvents).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pelorin::devsim {

enum class SimPipe { Interface = 0, In = 1, Out = 2 };

class SessionEndpoint {
 public:
  virtual ~SessionEndpoint() = default;
  // One message the host wrote on PIPE01.
  virtual void HostMessage(const uint8_t* data, size_t size) = 0;
  // Blocks until the device has its next message for PIPE00. Returns false when it has nothing
  // more to send: the session is over, the device vanished (see Vanished) or Shutdown was called.
  virtual bool NextDeviceMessage(std::vector<uint8_t>* message) = 0;
  // Whether the device has disappeared: the server then cuts both pipes of the session.
  virtual bool Vanished() const = 0;
  // Whether the device hangs: the server then stops reading PIPE01 (the host's next write
  // blocks) and only watches for the host's close.
  virtual bool Hung() const { return false; }
  // The host closed its end of PIPE00 (SimPipe::In) or PIPE01 (SimPipe::Out). Either ends the
  // session: NextDeviceMessage returns false from then on. Not called when the server stops.
  virtual void HostClosed(SimPipe pipe) = 0;
  // The server stops: NextDeviceMessage returns false from now on, also to later calls.
  // Called from any thread, maybe repeatedly.
  virtual void Shutdown() = 0;
};

struct SimDeviceOptions {
  bool serveInterface = true;  // false: the probe open of the device path fails
  bool serveInPipe = true;     // false: the PIPE00 open fails
  bool serveOutPipe = true;    // false: the PIPE01 open fails
};

// When a session began and ended, in GetTickCount64 milliseconds.
struct SimSessionTimes {
  ULONGLONG firstOpen = 0;  // the first connection of either of its pipes
  ULONGLONG ended = 0;      // the host had closed both pipes; 0 while one is open
};

// Told on the server's threads, as it happens (keep it short; no call back into the server).
struct SimHostEvents {
  std::function<void(SimPipe)> opened;               // a host open of that pipe was connected
  std::function<void(size_t session)> sessionEnded;  // the host closed both pipes of a session
};

class SimPipeDevice {
 public:
  using EndpointFactory = std::function<std::unique_ptr<SessionEndpoint>()>;

  SimPipeDevice(std::string reference, SimDeviceOptions options, EndpointFactory factory);
  ~SimPipeDevice();
  SimPipeDevice(const SimPipeDevice&) = delete;
  SimPipeDevice& operator=(const SimPipeDevice&) = delete;

  // Who hears of the host's opens and of ended sessions. Set before Start.
  void SetHostEvents(SimHostEvents events) { events_ = std::move(events); }

  // Creates the first instance of every served pipe. False (with `error`) if one cannot be made.
  bool Start(std::string* error = nullptr);
  // Disconnects every client, ends every thread. Endpoints stay readable.
  void Stop();

  // Host connections made so far, and how many of them the host has closed again.
  int Connects(SimPipe pipe) const { return counters_[Index(pipe)].connects.load(); }
  int Disconnects(SimPipe pipe) const { return counters_[Index(pipe)].disconnects.load(); }
  int OpenClients(SimPipe pipe) const { return Connects(pipe) - Disconnects(pipe); }
  // Waits until no host handle is open on any pipe, at most timeoutMs. Returns whether so.
  bool WaitUntilNoClients(DWORD timeoutMs) const;

  // Calls `visit` with each session's endpoint, in session order.
  void ForEachSession(const std::function<void(SessionEndpoint&)>& visit) const;
  size_t SessionCount() const;
  std::vector<SimSessionTimes> SessionTimes() const;

  const std::string& reference() const { return reference_; }

 private:
  struct Counters {
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
  };
  struct Session;

  static int Index(SimPipe pipe) { return static_cast<int>(pipe); }
  std::wstring PipeName(SimPipe pipe) const;
  HANDLE CreateInstance(SimPipe pipe) const;
  void Listen(SimPipe pipe, HANDLE first);
  void Serve(SimPipe pipe, HANDLE connected, ULONGLONG connectedAt);
  void ServeInterface(HANDLE pipe);
  void ServeIn(HANDLE pipe, Session& session);
  void ServeOut(HANDLE pipe, Session& session);
  Session& SessionFor(SimPipe pipe, ULONGLONG connectedAt);
  void HostClosed(Session& session, SimPipe pipe);
  void Spawn(std::function<void()> work);

  std::string reference_;
  SimDeviceOptions options_;
  EndpointFactory factory_;
  SimHostEvents events_;
  HANDLE stopEvent_ = nullptr;
  bool started_ = false;
  Counters counters_[3];

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Session>> sessions_;
  size_t inConnections_ = 0;
  size_t outConnections_ = 0;
  std::vector<std::thread> threads_;
};

}  // namespace pelorin::devsim
