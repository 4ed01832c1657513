// "Already verified" across the fleet: a unit's latest record anywhere, asked of the database
// within a bound, and the decision that takes it with what the station's own log knows.
//
// How the engine uses it: after the start check (CheckFleetStore on this lookup's store, which
// then stays connected) it makes one FleetLookup with that store and runs Run() on a thread of
// its own. When a unit with a serial number arrives, the runner's thread calls Ask (never blocks):
// either the answer comes at once (the database is known to be unreachable: the unit waits for
// nothing) or later through Collect, which the runner calls on each round; SetOnAnswer lets the
// lookup's thread wake the runner when an answer is ready, and MsUntilDue tells the runner how
// long it may sleep before a question falls due. A question that the database has not answered
// within `answerWithinMs` (2 s) is answered "from the log" by Collect; so are those asked while
// the lookup is offline or while an earlier question is overdue (a slow or dead connection delays
// each unit once, not one after another). The runner then decides with DecideAlreadyVerified and
// writes the unit's knownFrom. At the end: Stop(), then join the thread (bounded by the store's
// timeouts).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "download_report.h"
#include "fleet_store.h"

namespace pelorin::fleet {

// The bound on a unit's wait for the fleet's answer.
inline constexpr uint32_t FLEET_ANSWER_WITHIN_MS = 2000;

// Which knowledge decided whether a unit was already verified: the record's "knownFrom".
enum class KnownFrom {
  Fleet,  // the database answered in time
  Log,    // the station's own log (no database, or no answer in time, or known offline)
  None,   // a unit without a serial number, known by its presence only
};
const char* KnownFromName(KnownFrom from);  // "fleet", "log", "none"

struct FleetAnswer {
  uint64_t question = 0;
  std::string serial;
  bool answered = false;  // the database answered in time (else: decide from the log)
  std::optional<FleetLatest> latest;  // answered: the unit's latest record, if the fleet has one
};

// The decision, for a unit with a serial number. `fleet`: the lookup's answer, or nothing when
// the station runs without a database. `logVerified`: what the station's own log says under the
// same rule (its latest record of the unit is verified or already-verified with this image):
// nothing when the log has no record of the unit.
//
// With an answer from the fleet, the unit is already verified when the fleet's latest record is
// verified or already-verified with this image's SHA-256 and the station's own log does not say
// otherwise: a record of this station that the database does not have yet (a failure a moment
// ago) must not be outvoted by an older success elsewhere. When the fleet has no record of the
// unit at all, the station's own log decides (records of a log written before logs had an
// identity never reach the database). Flashing again only costs time; skipping a unit that is
// not verified is the harm to avoid.
struct UnitDecision {
  bool alreadyVerified = false;
  KnownFrom knownFrom = KnownFrom::Log;
};
UnitDecision DecideAlreadyVerified(const std::optional<FleetAnswer>& fleet,
                                   std::optional<bool> logVerified, const std::string& sha256);

struct FleetLookupOptions {
  uint32_t answerWithinMs = FLEET_ANSWER_WITHIN_MS;
  uint32_t firstBackoffMs = 500;
  uint32_t maxBackoffMs = 8000;
};

class FleetLookup {
 public:
  FleetLookup(std::unique_ptr<FleetStore> store, Clock& clock, FleetLookupOptions options = {});
  ~FleetLookup();
  FleetLookup(const FleetLookup&) = delete;
  FleetLookup& operator=(const FleetLookup&) = delete;

  // The lookup's own thread: connects (again, after a backoff, when the connection failed) and
  // answers questions in the order they were asked, until Stop.
  void Run();
  // Any thread: Run returns after the store's call in progress.
  void Stop();
  // Any thread: a sleeping Run looks at its clock again (a test's fake clock has moved).
  void Wake();

  // The runner's thread; never blocks. Asks for the latest record of `serial`. Returns the answer
  // at once ("from the log") when the database is known to be unreachable, or an earlier question
  // is overdue; else nothing, and the answer comes through Collect.
  std::optional<FleetAnswer> Ask(const std::string& serial, uint64_t* question = nullptr);
  // The runner's thread; never blocks. The answers that are ready, and "from the log" for the
  // questions that fell due unanswered. Each question is answered once.
  std::vector<FleetAnswer> Collect();
  // The runner's thread: milliseconds until the earliest unanswered question falls due
  // (UINT32_MAX: none waits).
  uint32_t MsUntilDue();
  // Called on the lookup's thread when an answer is ready (the runner should Collect). Set before
  // Run starts; must return promptly and must not call back into the lookup.
  void SetOnAnswer(std::function<void()> onAnswer);
  // Whether the lookup counts the database as reachable now (any thread).
  bool Reachable() const;

 private:
  struct Question {
    uint64_t number;
    std::string serial;
    uint32_t askedAt;
  };
  void AnswerAllFromLogLocked();

  std::unique_ptr<FleetStore> store_;
  Clock& clock_;
  const FleetLookupOptions options_;
  std::function<void()> onAnswer_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopped_ = false;
  bool woken_ = false;
  bool offline_ = false;  // the last connection try failed, or the connection was lost
  bool busyNumber_ = false;
  uint64_t busy_ = 0;       // the question whose call is in progress (when busyNumber_)
  uint64_t next_ = 1;
  std::deque<Question> queue_;               // asked, not yet taken by the lookup's thread
  std::map<uint64_t, Question> open_;        // asked, not answered yet (queued or in progress)
  std::vector<FleetAnswer> ready_;           // answered, not collected yet
  bool overdue_ = false;  // a question fell due while its call was in progress
};

}  // namespace pelorin::fleet
