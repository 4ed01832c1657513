// The fleet's ODBC store against a real PostgreSQL 15 through the "PostgreSQL Unicode" driver
// (Wine's odbc32.dll hands the calls to the host's unixODBC). tests/win32/fleet_odbc.sh starts a
// private cluster, applies the schema and runs these tests with:
//   PELORIN_FLEET_DB    a connection string of the station role to the fleet's database
//   PELORIN_FLEET_BARE  the same to a database without the schema
//   PELORIN_FLEET_HOST  a folder (Unix path) through which a test asks the script to stop, start
//                       or end the connections of the server
// Without them (the plain run of the Windows tests) they are skipped.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "fleet_store.h"
#include "fleet_log_source.h"
#include "log_file_reader_win32.h"
#include "odbc_store_win32.h"
#include "text_win32.h"
#include "win32_test_support.h"

namespace pelorin::fleet {
namespace {

std::string Env(const char* name) {
  wchar_t value[4096];
  const DWORD n = GetEnvironmentVariableW(Utf8ToWide(name).c_str(), value, 4096);
  return n == 0 || n >= 4096 ? std::string() : WideToUtf8(std::wstring(value, n));
}

#define NEED_DATABASE()                                                           \
  if (Env("PELORIN_FLEET_DB").empty())                                            \
    GTEST_SKIP() << "no database (tests/win32/fleet_odbc.sh runs these with one)"

// Asks the script that runs the test to do `what` to the server ("stop", "start", "terminate")
// and waits until it is done.
bool HostDoes(const std::string& what) {
  std::wstring dir = L"Z:" + Utf8ToWide(Env("PELORIN_FLEET_HOST"));
  for (wchar_t& c : dir)
    if (c == L'/') c = L'\\';
  const std::wstring request = dir + L"\\request", done = dir + L"\\done";
  DeleteFileW(done.c_str());
  test::TempFile note(L"pelorin-fleet-request");
  if (!note.Write(what) || !MoveFileExW(note.path().c_str(), request.c_str(),
                                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
    return false;
  for (int waited = 0; waited < 60000; waited += 50) {
    if (GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    Sleep(50);
  }
  return false;
}

constexpr char kLog[] = "7d9e2b4a-1c3f-4e5d-8a6b-9c0d1e2f3a4b";

FleetRow Row(uint64_t sequence, const std::string& serial) {
  FleetRow r;
  r.log = kLog;
  r.sequence = sequence;
  r.time = "2026-12-08T07:01:02.345Z";
  r.station = "ST-1";
  r.port = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";
  r.path = "\\\\?\\usb#vid_1234&pid_5678#" + serial + "#{00873fdf}\\simdev0";
  r.instance = "USB\\VID_1234&PID_5678\\" + serial;
  r.serial = serial;
  r.imagePath = "C:\\images\\os.nb0";
  r.imageSize = 4194304;
  r.imageByteSum = 4294967295u;
  r.imageSha256 = std::string(64, 'c');
  r.result = "verified";
  r.bytesSent = 4194304;
  r.seconds = "3.1";
  r.message = "Verification Error 다시 시도해 주세요.";
  r.knownFrom = "fleet";
  return r;
}

// A unique serial per run, so that reruns on the same cluster do not meet each other's rows.
std::string Unique(const std::string& stem) {
  return stem + "-" + std::to_string(GetTickCount()) + "-" + std::to_string(GetCurrentProcessId());
}

TEST(OdbcStore, ADatabaseWithoutTheSchemaIsRefusedWithTheFileToApply) {
  NEED_DATABASE();
  OdbcStore store(Env("PELORIN_FLEET_BARE"));
  const FleetCheck check = CheckFleetStore(store);
  EXPECT_EQ(check.kind, FleetCheck::NoSchema) << check.line;
  EXPECT_TRUE(check.refuses());
  EXPECT_NE(check.line.find("apply pelorin-fleet.sql"), std::string::npos) << check.line;
  EXPECT_FALSE(store.Connected());
  OdbcStore fleet(Env("PELORIN_FLEET_DB"));
  EXPECT_EQ(CheckFleetStore(fleet).kind, FleetCheck::Ready);
  EXPECT_TRUE(fleet.Connected());
}

TEST(OdbcStore, AWrongPasswordIsAClearRefusalThatDoesNotShowIt) {
  NEED_DATABASE();
  std::string connection = Env("PELORIN_FLEET_DB");
  const size_t at = connection.find("PWD=");
  ASSERT_NE(at, std::string::npos);
  connection = connection.substr(0, at) + "PWD=wrong-s3cret-77;";
  OdbcStore store(connection);
  const FleetCheck check = CheckFleetStore(store);
  EXPECT_EQ(check.kind, FleetCheck::LoginRefused) << check.line;
  EXPECT_FALSE(check.refuses());
  EXPECT_NE(check.line.find("password authentication failed"), std::string::npos) << check.line;
  EXPECT_EQ(check.line.find("wrong-s3cret-77"), std::string::npos) << check.line;
}

TEST(OdbcStore, TextsOfAnyKindAreStoredAndReadBackExactlyAndAResendIsTold) {
  NEED_DATABASE();
  OdbcStore store(Env("PELORIN_FLEET_DB"));
  ASSERT_TRUE(store.Connect().ok());
  // Quotes, backslashes, Korean, 1,000 characters; the station's name holds the same text so
  // that it comes back from the database through the lookup.
  std::string serial = Unique("SN'\"\\q\\\"'한국어") + "-";
  int characters = 0;
  for (unsigned char c : serial) characters += (c & 0xC0) != 0x80;
  while (characters < 1000) {
    serial += characters % 2 ? "값" : "\\";
    ++characters;
  }
  uint64_t last = 0;
  ASSERT_TRUE(store.LastSequence(kLog, &last).ok());
  FleetRow row = Row(last + 1, serial);
  row.station = serial;
  std::vector<RowOutcome> outcomes;
  StoreResult r = store.InsertBatch({row}, &outcomes);
  ASSERT_TRUE(r.ok()) << r.text;
  EXPECT_EQ(outcomes, std::vector<RowOutcome>{RowOutcome::Stored});
  std::optional<FleetLatest> latest;
  r = store.LatestOfSerial(serial, &latest);
  ASSERT_TRUE(r.ok()) << r.text;
  ASSERT_TRUE(latest.has_value());
  EXPECT_EQ(latest->station, serial);
  EXPECT_EQ(latest->result, "verified");
  EXPECT_EQ(latest->imageSha256, row.imageSha256);
  EXPECT_EQ(latest->time, "2026-12-08T07:01:02.345Z");
  // A serial that differs in one Korean character is another unit (text that lost its Korean on
  // the way would make the two the same).
  std::string other = serial;
  other.replace(other.rfind("값"), std::string("값").size(), "갑");
  ASSERT_TRUE(store.LatestOfSerial(other, &latest).ok());
  EXPECT_FALSE(latest.has_value());
  ASSERT_TRUE(store.LastSequence(kLog, &last).ok());
  EXPECT_EQ(last, row.sequence);

  // Sent again: the same content is a resend; any field changed is other content.
  FleetRow changed = row;
  changed.message += ".";
  FleetRow next = Row(row.sequence + 1, serial);
  r = store.InsertBatch({row, changed, next}, &outcomes);
  ASSERT_TRUE(r.ok()) << r.text;
  EXPECT_EQ(outcomes, (std::vector<RowOutcome>{RowOutcome::Same, RowOutcome::Different,
                                               RowOutcome::Stored}));
  changed = row;
  changed.seconds = "3.10";  // the same number
  r = store.InsertBatch({changed}, &outcomes);
  ASSERT_TRUE(r.ok()) << r.text;
  EXPECT_EQ(outcomes, std::vector<RowOutcome>{RowOutcome::Same});
  ASSERT_TRUE(store.LatestOfSerial(serial, &latest).ok());
  ASSERT_TRUE(latest.has_value());
  EXPECT_EQ(latest->station, "ST-1");  // the later record (same time, received later)
  // A record that arrives last but was made earlier (a station's backlog after an outage) does
  // not replace a later one: the station's time orders a unit's records.
  FleetRow earlier = Row(next.sequence + 1, serial);
  earlier.time = "2026-12-08T06:00:00.000Z";
  earlier.station = "ST-EARLIER";
  earlier.result = "verification-error";
  ASSERT_TRUE(store.InsertBatch({earlier}, &outcomes).ok());
  ASSERT_TRUE(store.LatestOfSerial(serial, &latest).ok());
  ASSERT_TRUE(latest.has_value());
  EXPECT_EQ(latest->station, "ST-1");
  EXPECT_EQ(latest->result, "verified");
}

TEST(OdbcStore, ABatchThatFailsKeepsNothing) {
  NEED_DATABASE();
  OdbcStore store(Env("PELORIN_FLEET_DB"));
  ASSERT_TRUE(store.Connect().ok());
  uint64_t last = 0;
  ASSERT_TRUE(store.LastSequence(kLog, &last).ok());
  FleetRow good = Row(last + 1, Unique("SN-BATCH"));
  FleetRow bad = Row(last + 2, good.serial);
  bad.time = "not a time";
  std::vector<RowOutcome> outcomes;
  const StoreResult r = store.InsertBatch({good, bad}, &outcomes);
  EXPECT_EQ(r.kind, StoreResult::Failed) << r.text;
  store.Disconnect();
  ASSERT_TRUE(store.Connect().ok());
  uint64_t after = 0;
  ASSERT_TRUE(store.LastSequence(kLog, &after).ok());
  EXPECT_EQ(after, last);
}

// The server goes away under a connected store: the next call is Unreachable, the store is no
// longer connected, and a fresh connection works once the server is back.
void LossAndFreshConnection(const std::string& what) {
  OdbcStore store(Env("PELORIN_FLEET_DB"), {5, 10});
  ASSERT_TRUE(store.Connect().ok());
  std::optional<FleetLatest> latest;
  ASSERT_TRUE(store.LatestOfSerial("SN-NONE", &latest).ok());
  ASSERT_TRUE(HostDoes(what));
  StoreResult r = store.LatestOfSerial("SN-NONE", &latest);
  EXPECT_EQ(r.kind, StoreResult::Unreachable) << r.text;
  EXPECT_FALSE(store.Connected());
  if (what == "stop") {
    r = store.Connect();
    EXPECT_EQ(r.kind, StoreResult::Unreachable) << r.text;
    ASSERT_TRUE(HostDoes("start"));
  }
  r = store.Connect();
  ASSERT_TRUE(r.ok()) << r.text;
  r = store.LatestOfSerial("SN-NONE", &latest);
  EXPECT_TRUE(r.ok()) << r.text;
}

TEST(OdbcStore, AServerStoppedAndStartedAgainIsALossThenAFreshConnectionWorks) {
  NEED_DATABASE();
  LossAndFreshConnection("stop");
}

TEST(OdbcStore, AConnectionEndedFromTheServersSideIsALossThenAFreshConnectionWorks) {
  NEED_DATABASE();
  LossAndFreshConnection("terminate");
}

TEST(LogFileReader, ReadsTheLogWhileTheStationHoldsItOpenForAppending) {
  test::TempFile log(L"pelorin-fleet-reader.jsonl");
  ASSERT_TRUE(log.Write(""));
  // The engine's way of holding its log: appending, shared for reading only.
  ScopedHandle writer(CreateFileW(log.path().c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                  FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
  ASSERT_TRUE(writer);
  std::string error;
  std::unique_ptr<LogFileReader> reader = LogFileReader::Open(log.path(), &error);
  ASSERT_NE(reader, nullptr) << error;
  const std::string text = "{\"a\": 1}\n{\"b\": 2}\n";
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(writer.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                        nullptr));
  uint64_t size = 0;
  ASSERT_TRUE(reader->Size(&size, &error));
  EXPECT_EQ(size, text.size());
  char buffer[64];
  size_t got = 0;
  ASSERT_TRUE(reader->ReadAt(9, buffer, sizeof(buffer), &got, &error));
  EXPECT_EQ(std::string(buffer, got), "{\"b\": 2}\n");
  ASSERT_TRUE(reader->ReadAt(size, buffer, sizeof(buffer), &got, &error));
  EXPECT_EQ(got, 0u);
}

}  // namespace
}  // namespace pelorin::fleet
