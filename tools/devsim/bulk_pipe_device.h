// A simulated bulk-pipe device: the device side of the download protocol, independent of the
// transport. Host writes arriving on the device's out-pipe (PIPE01) go to HostWrite; what the
// device sends on its in-pipe (PIPE00) comes out of NextAnswerChunk. Native tests bind it to
// in-memory PipeLinks (memory_pipe_link.h); the Windows simulator serves it over named pipes.
//
// The device takes the magic, the 4-byte length, the data (one write per chunk; the first write
// shorter than PIPE_CHUNK_SIZE, possibly empty, is the last) and the 4-byte byte sum, answers
// "RECEIVE", waits for "OK0", answers "VERIOK_" or "VERIERR", and waits for "OK1". It records
// every host write and what it verified, keeping only a running sum, a hash and an optional
// prefix of the data, so a large image is never held twice. It can be told to misbehave.
//
// Thread-safe: HostWrite, NextAnswerChunk, Vanish and the accessors may be called from
// different threads at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "download_report.h"

namespace pelorin::devsim {

// Where the device is in the protocol; a phase names the item the device expects next.
enum class BulkPipePhase {
  Magic,
  Length,
  Data,
  ByteSum,
  AwaitReceivedReply,  // "RECEIVE" sent, waiting for "OK0"; verifying
  AwaitVerifiedReply,  // verdict sent, waiting for "OK1"
  Finished,            // "OK1" received
  None,                // never (a misbehaviour switched off)
};

const char* PhaseName(BulkPipePhase phase);

struct BulkPipeBehaviour {
  bool answerVerifyError = false;  // "VERIERR" whatever the checks say
  bool splitAnswers = false;       // each answer as two writes: 4 bytes, then 3 ("VERI" + "OK_")
  // "RECEIVE" and the verdict in one write; the verdict is sent again on its own after "OK0"
  // (the host drops bytes merged behind an answer).
  bool mergeAnswers = false;
  bool noiseBeforeAnswers = false;  // 7 unknown bytes, as a write of their own, before each answer
  // Before each answer, a copy of it whose last byte is NUL (never recognised).
  bool nulCopyBeforeAnswers = false;
  bool stall = false;  // takes everything, then never answers (its pipes stay open)
  // Answers "RECEIVE", takes "OK0", then never gives its verdict (its pipes stay open).
  bool muteAfterReceive = false;
  // Hang (stop taking writes, pipes open, as a device whose firmware hangs) when a write arrives
  // in this phase; phase Data hangs on the first data write that would take the data past
  // hangAfterDataBytes. A host write then blocks until it is cancelled.
  BulkPipePhase hangIn = BulkPipePhase::None;
  uint64_t hangAfterDataBytes = 0;
  // Every host write takes this long (device clock) before it completes: a slow reader.
  uint32_t writeDelayMs = 0;
  // Vanish (pipes gone, every later call fails) when a write arrives in this phase. Phase Data
  // vanishes on the first data write that would take the data past vanishAfterDataBytes.
  // AwaitReceivedReply vanishes while verifying: it takes "OK0", then vanishes instead of
  // giving its verdict.
  BulkPipePhase vanishIn = BulkPipePhase::None;
  uint64_t vanishAfterDataBytes = 0;
  // Take at most partialBytes of each write that arrives in this phase.
  BulkPipePhase partialIn = BulkPipePhase::None;
  uint32_t partialBytes = 0;
  // Bytes per second at which data is taken in (0: unlimited), paced with the device's clock.
  uint64_t bytesPerSecond = 0;
  // How many leading data bytes to keep for inspection.
  uint32_t captureLimit = 0;
};

struct HostWriteRecord {
  BulkPipePhase phase;  // the phase the write arrived in
  uint32_t size;        // bytes offered
  uint32_t accepted;    // bytes taken (0 once vanished)
  uint32_t tick;        // device clock when it arrived
};

struct BulkPipeResult {
  std::vector<HostWriteRecord> writes;
  std::vector<uint8_t> magic;       // the bytes of the magic write
  uint32_t length = 0;              // the length the host announced
  uint64_t dataBytes = 0;           // data bytes taken
  uint32_t dataWrites = 0;          // data writes, the final short or empty one included
  uint32_t dataByteSum = 0;         // sum of the data bytes modulo 2^32
  uint64_t dataHash = 0;            // FNV-1a 64 of the data bytes
  std::vector<uint8_t> dataPrefix;  // the first captureLimit data bytes
  uint32_t hostByteSum = 0;         // the byte sum the host sent
  bool magicOk = false;
  bool lengthOk = false;             // the data taken matches the announced length
  bool sumOk = false;                // the host's byte sum matches the data taken
  bool protocolOk = true;            // every item arrived whole and in order
  std::vector<std::string> answers;  // each answer the device gave, as text
  std::vector<std::string> replies;  // each host reply ("OK0", "OK1", anything else as sent)
  BulkPipePhase phase = BulkPipePhase::Magic;
  bool vanished = false;
  bool hung = false;       // stopped taking writes
  bool outClosed = false;  // the host closed its end of PIPE01
  bool inClosed = false;   // the host closed its end of PIPE00

  bool verified() const { return magicOk && lengthOk && sumOk && protocolOk; }
};

class BulkPipeDevice {
 public:
  static constexpr int64_t LINK_GONE = -1;
  // The device hangs: it took nothing, and a host write blocks (see WaitWhileHung).
  static constexpr int64_t LINK_HUNG = -2;
  // The host's call was cancelled before the (slow) device took the write.
  static constexpr int64_t LINK_CANCELLED = -3;
  static constexpr uint32_t WAIT_FOREVER = UINT32_MAX;

  // `clock` stamps the writes and paces a limited byte rate; it must outlive the device.
  explicit BulkPipeDevice(Clock& clock, BulkPipeBehaviour behaviour = {});

  // A host write on PIPE01. Returns the bytes taken (0..size), LINK_GONE once vanished,
  // LINK_HUNG once the device hangs, or LINK_CANCELLED when CancelHostCall came while a slow
  // device was still taking it.
  int64_t HostWrite(const uint8_t* data, uint32_t size);
  // Where a host write into a hung device stands: blocks until the host's call is cancelled
  // (CancelHostCall) or the device shuts down.
  void WaitWhileHung();

  struct AnswerChunk {
    enum Kind { Bytes, Timeout, Gone, Cancelled } kind = Timeout;
    std::vector<uint8_t> bytes;
  };
  // The next write of the device on PIPE00: waits up to `timeoutMs` of real time for one
  // (WAIT_FOREVER: as long as it takes, like a synchronous read). Gone once the device has
  // vanished and nothing queued before is left; Cancelled when the host's call was cancelled.
  AnswerChunk NextAnswerChunk(uint32_t timeoutMs);

  // Cancels the host's pipe call that is blocked right now (an answer read, a write into a hung
  // device), as CancelSynchronousIo would: it returns as failed. Later calls are not affected.
  void CancelHostCall();
  // Releases every blocked call for good (the simulator stops).
  void Shutdown();

  // The host closed its end of a pipe.
  void HostClosedOut();
  void HostClosedIn();

  // Unplugs the device: queued answers are dropped and every later call fails.
  void Vanish();
  bool vanished() const;
  bool hung() const;
  // Whether a host call waits in the device right now.
  bool hostBlocked() const;
  // Finished ("OK1" taken) or vanished.
  bool ended() const;

  BulkPipeResult Result() const;

 private:
  int64_t Take(const uint8_t* data, uint32_t size);
  void TakeData(const uint8_t* data, uint32_t size);
  void Verify();
  void SendAnswer(const char* answer);
  const char* Verdict() const;
  void QueueChunk(std::string_view bytes);
  void VanishLocked();

  Clock& clock_;
  const BulkPipeBehaviour behaviour_;
  mutable std::mutex mutex_;
  std::condition_variable answerReady_;  // also: a cancel, a shutdown
  uint64_t cancelGeneration_ = 0;        // counts CancelHostCall
  int blockedCalls_ = 0;                 // host calls waiting in the device
  bool shutdown_ = false;
  std::vector<std::vector<uint8_t>> outbox_;  // device writes not yet read by the host
  size_t outboxHead_ = 0;
  BulkPipeResult result_;
  bool rateStarted_ = false;
  uint32_t rateStartTick_ = 0;
};

}  // namespace pelorin::devsim
