// The fleet's portable rules on a store in memory: a log line read into a row, the log file as the
// shipper reads it (old lines, other logs, torn and unterminated tails), the shipper (resume
// point, batches in order, conflicts, a dropped connection never used again, the operator's
// "offline since, N waiting"), the fleet lookup within its bound and the "already verified"
// decision, and the connection string's redaction.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "connection_string.h"
#include "fleet_log_source.h"
#include "fleet_lookup.h"
#include "fleet_row.h"
#include "memory_fleet_store.h"
#include "recording_reporter.h"
#include "shipper.h"

namespace pelorin::fleet {
namespace {

using test::FakeClock;
using test::MemoryStore;
using test::Running;
using test::Within;

constexpr char kLog[] = "5f0c3a2e-8d1b-4c6a-9e7f-0a1b2c3d4e5f";
constexpr char kOtherLog[] = "00000000-1111-4222-8333-444444444444";
const std::string kSha(64, 'a');

// A line as the station writes it.
std::string Line(uint64_t sequence, const std::string& serial = "SN-1",
                 const std::string& result = "verified", const std::string& log = kLog,
                 const std::string& message = "") {
  return R"({"log": ")" + log + R"(", "time": "2026-12-08T07:01:02.345Z", "station": "ST-3", )" +
         R"("sequence": )" + std::to_string(sequence) +
         R"(, "port": "P1", "path": "\\\\?\\usb#1", "instance": "USB\\VID_1&PID_2\\)" + serial +
         R"(", "serial": ")" + serial + R"(", "image": {"path": "C:\\os.nb0", "size": 4194304, )" +
         R"("byteSum": 534712169, "sha256": ")" + kSha + R"("}, "result": ")" + result +
         R"(", "bytesSent": 4194304, "seconds": 3.1, "message": ")" + message +
         R"(", "knownFrom": "fleet"})";
}

TEST(FleetRow, ALineAsTheStationWritesItGivesEveryFieldExactly) {
  const ParsedLine parsed =
      ParseFleetLine(Line(17, "SN-\\\"q\\\"-한국", "verification-error", kLog, "다시 \\\\ 시도"));
  ASSERT_EQ(parsed.kind, ParsedLine::Row) << parsed.why;
  const FleetRow& r = parsed.row;
  EXPECT_EQ(r.log, kLog);
  EXPECT_EQ(r.sequence, 17u);
  EXPECT_EQ(r.time, "2026-12-08T07:01:02.345Z");
  EXPECT_EQ(r.station, "ST-3");
  EXPECT_EQ(r.path, "\\\\?\\usb#1");
  EXPECT_EQ(r.serial, "SN-\"q\"-한국");
  EXPECT_EQ(r.imagePath, "C:\\os.nb0");
  EXPECT_EQ(r.imageSize, 4194304u);
  EXPECT_EQ(r.imageByteSum, 534712169u);
  EXPECT_EQ(r.imageSha256, kSha);
  EXPECT_EQ(r.result, "verification-error");
  EXPECT_EQ(r.bytesSent, 4194304u);
  EXPECT_EQ(r.seconds, "3.1");
  EXPECT_EQ(r.message, "다시 \\ 시도");
  EXPECT_EQ(r.knownFrom, "fleet");
}

TEST(FleetRow, OldLinesHaveNoIdentityAndBrokenOnesSayWhatIsWrong) {
  EXPECT_EQ(ParseFleetLine(R"({"time": "2026-12-08T07:01:02.345Z", "sequence": 3})").kind,
            ParsedLine::NoIdentity);
  EXPECT_EQ(ParseFleetLine(Line(3).substr(0, 120)).kind, ParsedLine::NotARecord);  // torn
  struct Case {
    std::string from, to, why;
  };
  const Case cases[] = {
      {R"("sequence": 3)", R"("sequence": -3)", "\"sequence\""},
      {R"("sequence": 3)", R"("sequence": 0)", "\"sequence\""},
      {R"("sequence": 3)", R"("sequence": 9223372036854775808)", "\"sequence\""},
      {R"("sequence": 3)", R"("sequence": "3")", "\"sequence\""},
      {R"("seconds": 3.1)", R"("seconds": "3.1")", "\"seconds\""},
      {R"(, "knownFrom": "fleet")", "", "\"knownFrom\""},
      {kLog, "5F0C3A2E-8D1B-4C6A-9E7F-0A1B2C3D4E5F", "\"log\""},
      {"2026-12-08T07:01:02.345Z", "2026-12-08 07:01", "\"time\""},
      {R"("message": "")", R"("message": "a\u0000b")", "\"message\""},
      {R"("size": 4194304)", R"("size": 4.5)", "\"size\""},
  };
  for (const Case& c : cases) {
    std::string line = Line(3);
    line.replace(line.find(c.from), c.from.size(), c.to);
    const ParsedLine parsed = ParseFleetLine(line);
    EXPECT_EQ(parsed.kind, ParsedLine::NotARecord) << c.to;
    EXPECT_NE(parsed.why.find(c.why), std::string::npos) << c.to << ": " << parsed.why;
  }
}

TEST(ConnectionString, PasswordsAreHiddenWhereverAndHoweverTheyAreWritten) {
  EXPECT_EQ(RedactConnectionString("Driver={PostgreSQL Unicode};Server=db;UID=st;PWD=s3cret;"),
            "Driver={PostgreSQL Unicode};Server=db;UID=st;PWD=***;");
  EXPECT_EQ(RedactConnectionString("password={a;b}}c};Database=x"), "password=***;Database=x");
  EXPECT_EQ(RedactConnectionString("DSN=fleet; Pwd =x"), "DSN=fleet; Pwd =***");
  EXPECT_EQ(RedactConnectionString("DSN=fleet;UID=pwd"), "DSN=fleet;UID=pwd");
  EXPECT_TRUE(HasPassword("Server=db;PWD={x}"));
  EXPECT_FALSE(HasPassword("DSN=fleet;PWD="));
  EXPECT_FALSE(HasPassword("DSN=fleet;UID=pwd;Database={PWD=x}"));
}

// A log's bytes, appended to by the test (the engine) while the shipper's thread reads them.
class LogText {
 public:
  LogText& operator+=(const std::string& more) {
    std::lock_guard lock(mutex_);
    text_ += more;
    return *this;
  }
  size_t size() const {
    std::lock_guard lock(mutex_);
    return text_.size();
  }
  size_t CopyAt(uint64_t offset, char* buffer, size_t size) const {
    std::lock_guard lock(mutex_);
    if (offset >= text_.size()) return 0;
    const size_t n = std::min<size_t>(size, text_.size() - offset);
    std::copy_n(text_.data() + offset, n, buffer);
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

// The log file as the shipper reads it.
class GrowingFile : public ByteReader {
 public:
  explicit GrowingFile(std::shared_ptr<LogText> text) : text_(std::move(text)) {}
  bool Size(uint64_t* size, std::string*) override {
    *size = text_->size();
    return true;
  }
  bool ReadAt(uint64_t offset, char* buffer, size_t size, size_t* got, std::string*) override {
    *got = text_->CopyAt(offset, buffer, size);
    return true;
  }

 private:
  std::shared_ptr<LogText> text_;
};

std::vector<uint64_t> Sequences(const std::vector<FleetRow>& rows) {
  std::vector<uint64_t> out;
  for (const FleetRow& row : rows) out.push_back(row.sequence);
  return out;
}

TEST(LogFileSource, ReadsOnlyThisLogsWholeRecordsInOrderFromAnyPoint) {
  auto text = std::make_shared<LogText>();
  // Records of the log before it had an identity, a torn line, another log's record.
  *text += R"({"time": "2026-12-08T07:00:00.000Z", "sequence": 1, "serial": "OLD"})" "\n";
  *text += Line(2).substr(0, 90) + "\n";
  *text += Line(2, "SN-9", "verified", kOtherLog) + "\n";
  for (uint64_t s = 3; s <= 700; ++s) *text += Line(s, "SN-" + std::to_string(s)) + "\n";
  LogFileSource source(kLog, std::make_unique<GrowingFile>(text));
  std::vector<FleetRow> rows;
  std::vector<FleetLogSource::BadLine> bad;
  std::string error;
  uint64_t count = 0;

  ASSERT_TRUE(source.CountAfter(0, &count, &error));
  EXPECT_EQ(count, 698u);
  EXPECT_EQ(source.skipped().withoutIdentity, 1u);
  EXPECT_EQ(source.skipped().otherLog, 1u);
  EXPECT_EQ(source.skipped().notRecords, 1u);
  ASSERT_TRUE(source.Read(0, 500, &rows, &bad, &error));
  ASSERT_EQ(rows.size(), 500u);
  EXPECT_EQ(rows.front().sequence, 3u);
  EXPECT_EQ(rows.back().sequence, 502u);
  EXPECT_EQ(rows[10].serial, "SN-13");
  // From a point past the index's first entries (a database that stands at 650), and from one
  // before what was read last (a database that lost records): each time exactly what follows.
  ASSERT_TRUE(source.Read(650, 500, &rows, &bad, &error));
  EXPECT_EQ(Sequences(rows).front(), 651u);
  EXPECT_EQ(rows.size(), 50u);
  ASSERT_TRUE(source.Read(260, 3, &rows, &bad, &error));
  EXPECT_EQ(Sequences(rows), (std::vector<uint64_t>{261, 262, 263}));
  ASSERT_TRUE(source.CountAfter(650, &count, &error));
  EXPECT_EQ(count, 50u);
}

TEST(LogFileSource, ATailIsTakenOnlyOnceItIsAWholeRecord) {
  auto text = std::make_shared<LogText>();
  *text += Line(1) + "\n";
  LogFileSource source(kLog, std::make_unique<GrowingFile>(text));
  std::vector<FleetRow> rows;
  std::vector<FleetLogSource::BadLine> bad;
  std::string error;
  // A write in progress: half a line. Not a record yet, and not skipped either.
  const std::string second = Line(2);
  *text += second.substr(0, second.size() / 2);
  ASSERT_TRUE(source.Read(0, 10, &rows, &bad, &error));
  EXPECT_EQ(Sequences(rows), std::vector<uint64_t>{1});
  EXPECT_TRUE(bad.empty());
  EXPECT_EQ(source.skipped().notRecords, 0u);
  uint64_t waiting = 0;
  ASSERT_TRUE(source.CountAfter(1, &waiting, &error));
  EXPECT_EQ(waiting, 0u);
  // The rest of it, without the newline (the writer died): a whole record is a record.
  *text += second.substr(second.size() / 2);
  ASSERT_TRUE(source.CountAfter(1, &waiting, &error));
  EXPECT_EQ(waiting, 1u);
  ASSERT_TRUE(source.Read(1, 10, &rows, &bad, &error));
  EXPECT_EQ(Sequences(rows), std::vector<uint64_t>{2});
  // The next start ends that line before its next record.
  *text += "\n" + Line(3) + "\n";
  ASSERT_TRUE(source.Read(2, 10, &rows, &bad, &error));
  EXPECT_EQ(Sequences(rows), std::vector<uint64_t>{3});
  // A line of this log that is no record is told once, never shipped, and not waiting.
  std::string broken = Line(4);
  broken.replace(broken.find("\"seconds\": 3.1"), 14, "\"seconds\": \"x\"");
  *text += broken + "\n";
  ASSERT_TRUE(source.Read(3, 10, &rows, &bad, &error));
  EXPECT_TRUE(rows.empty());
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].sequence, 4u);
  uint64_t count = 1;
  ASSERT_TRUE(source.CountAfter(3, &count, &error));
  EXPECT_EQ(count, 0u);
  ASSERT_TRUE(source.Read(3, 10, &rows, &bad, &error));
  EXPECT_TRUE(bad.empty());
}

class Heard : public ShipperListener {
 public:
  void StatusChanged(const ShipperStatus& status) override {
    std::lock_guard lock(mutex);
    statuses.push_back(status);
  }
  void Alarm(const std::string& text) override {
    std::lock_guard lock(mutex);
    alarms.push_back(text);
  }
  std::mutex mutex;
  std::vector<ShipperStatus> statuses;
  std::vector<std::string> alarms;
};

// A station's log, its database and its shipper, driven a round at a time on the fake clock.
struct Station {
  explicit Station(uint64_t records, ShipperOptions options = {batchRows(), 500, 8000, 1000})
      : text(std::make_shared<LogText>()),
        db(std::make_shared<MemoryStore::Shared>()),
        source(kLog, std::make_unique<GrowingFile>(text)),
        shipper(kLog, source, std::make_unique<MemoryStore>(db), clock, [this] { return unixMs; },
                &heard, options) {
    Append(records);
  }
  static size_t batchRows() { return 4; }
  void Append(uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
      ++last;
      *text += Line(last, "SN-" + std::to_string(last)) + "\n";
    }
  }
  // The database's rows of this log, in key order.
  std::vector<uint64_t> Stored() {
    std::lock_guard lock(db->mutex);
    std::vector<uint64_t> out;
    for (const auto& [key, row] : db->rows)
      if (key.first == kLog) out.push_back(key.second);
    return out;
  }
  // Records of the log that the database does not hold, counted from the two themselves.
  uint64_t Missing() {
    const std::vector<uint64_t> stored = Stored();
    uint64_t n = 0;
    for (uint64_t s = 1; s <= last; ++s)
      n += std::find(stored.begin(), stored.end(), s) == stored.end();
    return n;
  }
  FakeClock clock;
  int64_t unixMs = 1796713320000;  // 2026-12-08T10:42:00Z
  std::shared_ptr<LogText> text;
  std::shared_ptr<MemoryStore::Shared> db;
  LogFileSource source;
  Heard heard;
  Shipper shipper;
  uint64_t last = 0;
};

std::vector<uint64_t> Range(uint64_t first, uint64_t last) {
  std::vector<uint64_t> out;
  for (uint64_t s = first; s <= last; ++s) out.push_back(s);
  return out;
}

TEST(Shipper, StartsWhereTheDatabaseStandsAndSendsTheRestInOrderedBatches) {
  Station station(10);
  for (uint64_t s = 1; s <= 3; ++s)  // shipped before a restart
    station.db->rows[{kLog, s}] = ParseFleetLine(Line(s, "SN-" + std::to_string(s))).row;
  // 3 (the database's last, sent again as a check), 4..6: a full batch, more to come; then
  // 7..10, and nothing more waits.
  EXPECT_EQ(station.shipper.Step(), 0u);
  EXPECT_EQ(station.shipper.Step(), UINT32_MAX);
  EXPECT_EQ(station.db->batches, (std::vector<size_t>{4, 4}));
  EXPECT_EQ(station.Stored(), Range(1, 10));
  EXPECT_EQ(station.shipper.Status().link, ShipperStatus::UpToDate);
  EXPECT_EQ(station.shipper.Status().waiting, 0u);
  EXPECT_EQ(station.shipper.Status().shipped, 7u);
  EXPECT_EQ(station.shipper.Status().acked, 10u) << "the database holds the log up to here";
  station.Append(2);
  station.shipper.Step();
  EXPECT_EQ(station.Stored(), Range(1, 12));
  EXPECT_EQ(station.db->connects, 1);
  EXPECT_TRUE(station.heard.alarms.empty());
}

TEST(Shipper, TheDatabasesLastRecordIsSentAgainAndOtherContentThereIsAnAlarm) {
  // The row at the database's point is sent again with the rest: the same content is no alarm
  // and is not counted as shipped.
  Station same(6);
  for (uint64_t s = 1; s <= 3; ++s)
    same.db->rows[{kLog, s}] = ParseFleetLine(Line(s, "SN-" + std::to_string(s))).row;
  same.shipper.Step();
  EXPECT_EQ(same.db->batches, std::vector<size_t>{4});  // 3..6
  EXPECT_EQ(same.Stored(), Range(1, 6));
  EXPECT_EQ(same.shipper.Status().shipped, 3u);
  EXPECT_TRUE(same.heard.alarms.empty());

  // Other content there (another file with this log's identity wrote it): an alarm that names
  // the record, and the records after it still go.
  Station copied(6);
  for (uint64_t s = 1; s <= 3; ++s)
    copied.db->rows[{kLog, s}] = ParseFleetLine(Line(s, "SN-" + std::to_string(s))).row;
  copied.db->rows[{kLog, 3}].result = "link-error";
  copied.shipper.Step();
  EXPECT_EQ(copied.Stored(), Range(1, 6));
  ASSERT_EQ(copied.heard.alarms.size(), 1u);
  EXPECT_NE(copied.heard.alarms[0].find("record 3 of log " + std::string(kLog)),
            std::string::npos);
  EXPECT_EQ(copied.db->rows[std::make_pair(std::string(kLog), uint64_t{3})].result,
            "link-error");  // never overwritten
  EXPECT_EQ(copied.shipper.Status().alarms, 1u);

  // A database that holds more of this log than the file: an alarm, once.
  Station behind(2);
  for (uint64_t s = 1; s <= 5; ++s)
    behind.db->rows[{kLog, s}] = ParseFleetLine(Line(s, "SN-" + std::to_string(s))).row;
  behind.shipper.Step();
  behind.shipper.Step();
  ASSERT_EQ(behind.heard.alarms.size(), 1u);
  EXPECT_NE(behind.heard.alarms[0].find("up to record 5"), std::string::npos);
}

TEST(Shipper, ALostConnectionIsNeverUsedAgainAndTheRetryResumesFromTheDatabase) {
  Station station(10);
  station.db->failInsertAfterRows = 2;  // the first batch dies after two rows: nothing kept
  EXPECT_EQ(station.shipper.Step(), 500u);
  EXPECT_TRUE(station.Stored().empty());
  ShipperStatus status = station.shipper.Status();
  EXPECT_EQ(status.link, ShipperStatus::Offline);
  EXPECT_EQ(status.offlineSinceUnixMs, station.unixMs);
  EXPECT_NE(status.error.find("08S01"), std::string::npos);
  EXPECT_EQ(status.waiting, station.Missing());
  // The backoff: no try before it ends, then a fresh connection.
  station.clock.Advance(499);
  EXPECT_EQ(station.shipper.Step(), 1u);
  EXPECT_EQ(station.db->connects, 1);
  station.clock.Advance(1);
  station.shipper.Step();
  station.shipper.Step();
  station.shipper.Step();
  EXPECT_EQ(station.db->connects, 2);
  EXPECT_EQ(station.Stored(), Range(1, 10));
  EXPECT_EQ(station.db->callsOnBroken, 0);
  EXPECT_EQ(station.shipper.Status().link, ShipperStatus::UpToDate);
}

TEST(Shipper, OfflineItShowsSinceWhenAndHowManyRecordsWaitAndBacksOffToAMost) {
  Station station(3);
  station.shipper.Step();
  ASSERT_EQ(station.Stored(), Range(1, 3));
  station.db->reachable = false;
  station.Append(2);
  const int64_t wentAt = station.unixMs;
  std::vector<uint32_t> waits;
  for (int i = 0; i < 6; ++i) {
    uint32_t wait = station.shipper.Step();
    waits.push_back(wait);
    station.unixMs += wait;
    station.Append(1);  // the line goes on
    station.clock.Advance(wait);
  }
  EXPECT_EQ(waits, (std::vector<uint32_t>{500, 1000, 2000, 4000, 8000, 8000}));
  ShipperStatus status = station.shipper.Status();
  EXPECT_EQ(status.link, ShipperStatus::Offline);
  EXPECT_EQ(status.offlineSinceUnixMs, wentAt);
  EXPECT_EQ(status.waiting, station.Missing() - 1);  // the last append came after the count
  EXPECT_EQ(station.db->callsOnBroken, 0);
  station.db->reachable = true;
  station.clock.Advance(8000);
  while (station.shipper.Step() == 0) {
  }
  EXPECT_EQ(station.Missing(), 0u);
  EXPECT_EQ(station.shipper.Status().link, ShipperStatus::UpToDate);
  EXPECT_EQ(station.shipper.Status().waiting, 0u);
}

TEST(Shipper, ADatabaseWithoutTheSchemaIsOneAlarmNamingTheFileAndNoRowIsSent) {
  Station station(2);
  station.db->schema = false;
  station.shipper.Step();
  station.clock.Advance(500);
  station.shipper.Step();
  ASSERT_EQ(station.heard.alarms.size(), 1u);
  EXPECT_NE(station.heard.alarms[0].find("pelorin-fleet.sql"), std::string::npos);
  EXPECT_TRUE(station.Stored().empty());
  MemoryStore store(station.db);
  const FleetCheck check = CheckFleetStore(store);
  EXPECT_TRUE(check.refuses());
  EXPECT_NE(check.line.find("pelorin-fleet.sql"), std::string::npos);
  station.db->reachable = false;
  EXPECT_EQ(CheckFleetStore(store).kind, FleetCheck::Unreachable);
  EXPECT_FALSE(CheckFleetStore(store).refuses());
}

TEST(Shipper, OnItsOwnThreadANewRecordGoesAtOnceAndStopEndsIt) {
  // Nothing but Notify can wake it in time: its idle look is an hour away.
  Station station(1, {500, 500, 8000, 3600 * 1000});
  Running running([&] { station.shipper.Run(); }, [&] { station.shipper.Stop(); });
  EXPECT_TRUE(Within(5000, [&] { return station.Stored() == Range(1, 1); }));
  for (int i = 0; i < 20; ++i) {
    station.Append(1);
    station.shipper.Notify();
    EXPECT_TRUE(Within(5000, [&] { return station.Stored().size() == station.last; }))
        << "record " << station.last;
  }
}

TEST(FleetLookup, AnswersFromTheFleetInTimeElseFromTheLogAndAnOfflineDatabaseDelaysNobody) {
  FakeClock clock;
  auto db = std::make_shared<MemoryStore::Shared>();
  db->rows[{kLog, 1}] = ParseFleetLine(Line(1, "SN-A")).row;
  auto store = std::make_unique<MemoryStore>(db);
  store->Connect();
  FleetLookup lookup(std::move(store), clock);
  std::atomic<int> woken{0};
  lookup.SetOnAnswer([&] { ++woken; });
  Running running([&] { lookup.Run(); }, [&] {
    {
      std::lock_guard lock(db->mutex);
      db->holdLookups = false;
    }
    db->released.notify_all();
    lookup.Stop();
  });

  // In time: the fleet's latest record.
  EXPECT_FALSE(lookup.Ask("SN-A").has_value());
  std::vector<FleetAnswer> answers;
  EXPECT_TRUE(Within(5000, [&] {
    for (FleetAnswer& a : lookup.Collect()) answers.push_back(std::move(a));
    return !answers.empty();
  }));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_TRUE(answers[0].answered);
  ASSERT_TRUE(answers[0].latest.has_value());
  EXPECT_EQ(answers[0].latest->result, "verified");
  EXPECT_GE(woken.load(), 1);

  // A slow database: no answer within 2 s is an answer from the log, and while that call hangs
  // the next unit does not wait at all.
  {
    std::lock_guard lock(db->mutex);
    db->holdLookups = true;
  }
  EXPECT_FALSE(lookup.Ask("SN-B").has_value());
  EXPECT_EQ(lookup.MsUntilDue(), FLEET_ANSWER_WITHIN_MS);
  EXPECT_TRUE(Within(5000, [&] {
    std::lock_guard lock(db->mutex);
    return db->lookupsHeld == 1;
  }));
  clock.Advance(1999);
  EXPECT_TRUE(lookup.Collect().empty());
  EXPECT_EQ(lookup.MsUntilDue(), 1u);
  clock.Advance(1);
  answers = lookup.Collect();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_FALSE(answers[0].answered);
  EXPECT_EQ(answers[0].serial, "SN-B");
  const std::optional<FleetAnswer> atOnce = lookup.Ask("SN-C");
  ASSERT_TRUE(atOnce.has_value());
  EXPECT_FALSE(atOnce->answered);
  {
    std::lock_guard lock(db->mutex);
    db->holdLookups = false;
  }
  db->released.notify_all();
  EXPECT_TRUE(Within(5000, [&] { return lookup.Reachable(); }));
  EXPECT_TRUE(lookup.Collect().empty());  // the late answer is not given twice

  // The database gone: the call fails, the connection goes, and units are answered at once.
  {
    std::lock_guard lock(db->mutex);
    db->reachable = false;
  }
  lookup.Ask("SN-D");
  EXPECT_TRUE(Within(5000, [&] { return !lookup.Reachable(); }));
  answers = lookup.Collect();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_FALSE(answers[0].answered);
  EXPECT_TRUE(lookup.Ask("SN-E").has_value());
  // Back: after the backoff, a fresh connection, and the fleet answers again.
  {
    std::lock_guard lock(db->mutex);
    db->reachable = true;
  }
  clock.Advance(500);
  lookup.Wake();
  EXPECT_TRUE(Within(5000, [&] { return lookup.Reachable(); }));
  EXPECT_FALSE(lookup.Ask("SN-A").has_value());
  answers.clear();
  EXPECT_TRUE(Within(5000, [&] {
    for (FleetAnswer& a : lookup.Collect()) answers.push_back(std::move(a));
    return !answers.empty();
  }));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_TRUE(answers[0].answered);
  EXPECT_EQ(db->callsOnBroken, 0);
}

TEST(FleetLookup, TheLatestRecordDecidesAndTheStationsOwnLogCanOnlyHoldBackASkipOrStandInForNone) {
  auto answer = [](std::optional<FleetLatest> latest) {
    FleetAnswer a;
    a.answered = true;
    a.latest = std::move(latest);
    return std::optional<FleetAnswer>(a);
  };
  const FleetLatest verified{"verified", kSha, "A", "2026-12-08T07:00:00Z"};
  const FleetLatest skipped{"already-verified", kSha, "A", "2026-12-08T07:00:00Z"};
  const FleetLatest failed{"verification-error", kSha, "A", "2026-12-08T07:00:00Z"};
  const FleetLatest otherImage{"verified", std::string(64, 'b'), "A", "2026-12-08T07:00:00Z"};
  struct Case {
    std::optional<FleetAnswer> fleet;
    std::optional<bool> log;
    bool skip;
    KnownFrom from;
  };
  const Case cases[] = {
      {answer(verified), std::nullopt, true, KnownFrom::Fleet},
      {answer(skipped), true, true, KnownFrom::Fleet},
      {answer(failed), true, false, KnownFrom::Fleet},      // failed elsewhere since
      {answer(otherImage), true, false, KnownFrom::Fleet},  // holds another image now
      {answer(std::nullopt), true, true, KnownFrom::Fleet},  // the fleet has none: the log
      {answer(std::nullopt), false, false, KnownFrom::Fleet},
      {answer(std::nullopt), std::nullopt, false, KnownFrom::Fleet},
      {answer(verified), false, false, KnownFrom::Fleet},  // a failure here not shipped yet
      {FleetAnswer{}, true, true, KnownFrom::Log},         // no answer in time
      {FleetAnswer{}, std::nullopt, false, KnownFrom::Log},
      {std::nullopt, false, false, KnownFrom::Log},  // no database
  };
  for (const Case& c : cases) {
    const UnitDecision d = DecideAlreadyVerified(c.fleet, c.log, kSha);
    EXPECT_EQ(d.alreadyVerified, c.skip) << (c.fleet && c.fleet->latest ? c.fleet->latest->result : "-");
    EXPECT_EQ(d.knownFrom, c.from);
  }
  EXPECT_STREQ(KnownFromName(KnownFrom::Fleet), "fleet");
  EXPECT_STREQ(KnownFromName(KnownFrom::Log), "log");
  EXPECT_STREQ(KnownFromName(KnownFrom::None), "none");
}

}  // namespace
}  // namespace pelorin::fleet
