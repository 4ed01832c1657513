#include "board_texts.h"

#include <array>

namespace pelorin::board {
namespace {

struct Entry {
  Text id;
  std::string_view words;
};

// The tables. Keep each in the order of the ids; the checks below refuse a table that misses a
// text, has one twice, leaves one empty, or gives a text other places ("{0}") than English does.

constexpr Entry ENGLISH[] = {
    {Text::StateEmpty, "Plug in a unit"},
    {Text::StateWaiting, "Waiting for a slot"},
    {Text::StateOpening, "Opening…"},
    {Text::StateFlashing, "Flashing {0} %"},
    {Text::StateVerifying, "Verifying"},
    {Text::StateDone, "Done – pull the unit"},
    {Text::StateAlreadyVerified, "Already verified – pull the unit"},
    {Text::StateFailed, "FAILED: {0} – pull the unit"},
    {Text::StateCancelled, "STOPPED – flash it again"},
    {Text::StateNotFlashed, "Not flashed – pull the unit"},
    {Text::StateNotInLog, "NOT IN THE LOG: {0} – pull the unit"},
    {Text::TileEmpty, "plug in a unit"},
    {Text::TileWaiting, "waiting for a slot"},
    {Text::TileOpening, "opening"},
    {Text::TileFlashing, "flashing {0} %"},
    {Text::TileVerifying, "verifying"},
    {Text::TileVerified, "verified {0}"},
    {Text::TileAlreadyVerified, "already verified"},
    {Text::TileFailed, "failed {0}: {1}"},
    {Text::TileCancelled, "cancelled"},
    {Text::TileNotFlashed, "not flashed"},
    {Text::TileNotInLog, "not in the log: {0}"},
    {Text::TileCheckPort, "check this port"},
    {Text::UnknownPort, "unknown port"},
    {Text::HubPort, "Hub {0} · Port {1}"},
    {Text::ReasonRemoved, "removed while flashing"},
    {Text::ReasonVerified, "verified"},
    {Text::ReasonAlreadyVerified, "already verified"},
    {Text::ReasonVerificationError, "verification error"},
    {Text::ReasonLinkError, "link error"},
    {Text::ReasonImageError, "image error"},
    {Text::ReasonNotStarted, "not started"},
    {Text::ReasonCancelled, "cancelled"},
    {Text::TileTallyLine, "{0} ok · {1} failed"},
    {Text::TileCheckMark, "Check this port"},
    {Text::CountVerified, "{0} verified"},
    {Text::CountAlreadyVerified, "{0} already verified"},
    {Text::CountFailed, "{0} failed"},
    {Text::CountCancelled, "{0} cancelled"},
    {Text::CountNotInLog, "{0} not in the log"},
    {Text::CountFlashing, "{0} flashing"},
    {Text::CountWaiting, "{0} waiting"},
    {Text::UnitsPerHour, "{0} units/h"},
    {Text::Yield, "yield {0}"},
    {Text::HeaderLog, "log {0}"},
    {Text::HeaderNoLog, "none"},
    {Text::HeaderReading, "reading the image {0} %"},
    {Text::BannerLogFailed, "the log cannot be written: no new units start"},
    {Text::BannerEnded, "the station has ended (exit status {0}): close the window"},
    {Text::BannerStopping, "stopping: the units in flight are cancelled"},
    {Text::BannerAlsoEnded, " (the station has ended, exit status {0})"},
    {Text::BannerDatabase, "database: {0}"},
    {Text::DatabaseConnecting, "database: connecting"},
    {Text::DatabaseUpToDate, "database: up to date"},
    {Text::DatabaseSending, "database: sending"},
    {Text::DatabaseOffline, "database offline since {0}"},
    {Text::DatabaseWaiting, "{0} records waiting"},
    {Text::DatabaseOneWaiting, "{0} record waiting"},
    {Text::BoardCaption, "Pelorin Station"},
    {Text::StopButton, "Stop"},
    {Text::StopQuestionOne,
     "{0} unit is being flashed.\nStop the station? Units in flight are recorded as cancelled."},
    {Text::StopQuestionMany,
     "{0} units are being flashed.\nStop the station? Units in flight are recorded as cancelled."},
    {Text::WindowFailed, "The board's window cannot be made."},
    {Text::FormCaption, "Pelorin Station - start"},
    {Text::FormImage, "Image:"},
    {Text::FormChoose, "Choose..."},
    {Text::FormSize, "Size:"},
    {Text::FormByteSum, "Byte sum:"},
    {Text::FormExpected, "Expected SHA-256:"},
    {Text::FormLog, "Log file:"},
    {Text::FormPorts, "Ports:"},
    {Text::FormPortsHint,
     "Every port when empty; separate ports with spaces; a final * matches a prefix."},
    {Text::FormUnits, "Units at once:"},
    {Text::FormUnitsRange, "(1 to {0})"},
    {Text::FormReflash, "Re-flash units that the log shows verified with this image"},
    {Text::FormStart, "Start"},
    {Text::FormCancel, "Cancel"},
    {Text::FormReading, "reading…"},
    {Text::FormBytes, "{0} bytes"},
    {Text::FormImageTitle, "Image"},
    {Text::FormLogTitle, "Log file"},
    {Text::FormLogFilter, "Production log (*.jsonl)"},
    {Text::FormAllFiles, "All files"},
    {Text::FormBadSha256, "the expected SHA-256 needs 64 hexadecimal digits, got \"{0}\""},
    {Text::FormBadUnits, "units at once: 1 to {0}"},
    {Text::FormDatabase, "Database:"},
    {Text::FormDatabaseHint, "An ODBC connection string or DSN=name; empty: no database."},
    {Text::FormDatabaseNeedsLog, "a database needs a log file: the database is sent the log's records"},
    {Text::HelpIntro,
     "Shows a board of the USB ports and flashes every unit as it arrives, one production-log "
     "line per unit; without IMAGE it asks for one first."},
    {Text::HelpFooter,
     "Exit status: 0 every unit verified, 1 a unit failed, 2 bad arguments or an image\n"
     "that cannot be sent, 4 a log line could not be written, 130 stopped with units\n"
     "in flight."},
    {Text::HelpUsage, "Usage"},
    {Text::HelpPositionals, "Positionals"},
    {Text::HelpOptions, "Options"},
    {Text::HelpHelp, "Print this help message and exit"},
    {Text::HelpVersion, "print the version and exit"},
    {Text::HelpLang,
     "the board's language: ko (Korean) or en (English); by default Korean where Windows is "
     "shown in Korean, else English"},
    {Text::HelpFamily, "pipe (bulk pipes, the default) or driver (driver service)"},
    {Text::HelpJson, "write the run's JSON record to FILE (- standard output)"},
    {Text::HelpList, "print the devices that are present; sends nothing"},
    {Text::HelpStation, "flash every device as it arrives until Ctrl+C (or --count records)"},
    {Text::HelpWriteTimeout,
     "seconds a pipe write may take before the device is given up (default 10)"},
    {Text::HelpAnswerTimeout,
     "seconds within which a device must answer after the image, and again after it said "
     "RECEIVE (default 300)"},
    {Text::HelpLogOption, "station: append one JSON line per device that ended to FILE"},
    {Text::HelpSha256, "station: refuse to start unless the image has this SHA-256"},
    {Text::HelpPort,
     "station: flash only devices at this location (a final * matches a prefix); may be given "
     "more than once"},
    {Text::HelpMaxDevices, "station: devices flashed at once (default 16, at most 64)"},
    {Text::HelpCount, "station: end after N records"},
    {Text::HelpReflash,
     "station: flash a unit again although the log shows it verified with this image"},
    {Text::HelpDatabase,
     "station: also send every record to the fleet's PostgreSQL database and ask it whether a "
     "unit is already verified: an ODBC connection string or DSN=name (needs --log)"},
    {Text::HelpName, "station: the station's name in its records (default: the computer's name)"},
    {Text::HelpImage, "the image file (*.PAK or *.nb0), smaller than 4 GiB"},
    {Text::UsageHint, "Run with --help for more information."},
    {Text::NotBoardOption, "{0} is PelorinCli's, not PelorinStation's"},
};

// Short, as a tile is small: what an operator on a Korean line reads at a glance.
constexpr Entry KOREAN[] = {
    {Text::StateEmpty, "유닛을 꽂으세요"},
    {Text::StateWaiting, "슬롯 대기 중"},
    {Text::StateOpening, "여는 중…"},
    {Text::StateFlashing, "플래싱 {0} %"},
    {Text::StateVerifying, "검증 중"},
    {Text::StateDone, "완료 – 유닛을 뽑으세요"},
    {Text::StateAlreadyVerified, "이미 검증됨 – 유닛을 뽑으세요"},
    {Text::StateFailed, "실패: {0} – 유닛을 뽑으세요"},
    {Text::StateCancelled, "중지됨 – 다시 플래시하세요"},
    {Text::StateNotFlashed, "플래시 안 됨 – 유닛을 뽑으세요"},
    {Text::StateNotInLog, "로그에 없음: {0} – 유닛을 뽑으세요"},
    {Text::TileEmpty, "유닛을 꽂으세요"},
    {Text::TileWaiting, "슬롯 대기 중"},
    {Text::TileOpening, "여는 중"},
    {Text::TileFlashing, "플래싱 {0} %"},
    {Text::TileVerifying, "검증 중"},
    {Text::TileVerified, "검증됨 {0}"},
    {Text::TileAlreadyVerified, "이미 검증됨"},
    {Text::TileFailed, "실패 {0}: {1}"},
    {Text::TileCancelled, "취소됨"},
    {Text::TileNotFlashed, "플래시 안 됨"},
    {Text::TileNotInLog, "로그에 없음: {0}"},
    {Text::TileCheckPort, "포트 점검 필요"},
    {Text::UnknownPort, "알 수 없는 포트"},
    {Text::HubPort, "허브 {0} · 포트 {1}"},
    {Text::ReasonRemoved, "플래싱 중 뽑힘"},
    {Text::ReasonVerified, "검증됨"},
    {Text::ReasonAlreadyVerified, "이미 검증됨"},
    {Text::ReasonVerificationError, "검증 오류"},
    {Text::ReasonLinkError, "연결 오류"},
    {Text::ReasonImageError, "이미지 오류"},
    {Text::ReasonNotStarted, "시작 안 됨"},
    {Text::ReasonCancelled, "취소됨"},
    {Text::TileTallyLine, "성공 {0} · 실패 {1}"},
    {Text::TileCheckMark, "포트 점검 필요"},
    {Text::CountVerified, "검증 {0}"},
    {Text::CountAlreadyVerified, "이미 검증 {0}"},
    {Text::CountFailed, "실패 {0}"},
    {Text::CountCancelled, "취소 {0}"},
    {Text::CountNotInLog, "로그 누락 {0}"},
    {Text::CountFlashing, "플래싱 {0}"},
    {Text::CountWaiting, "대기 {0}"},
    {Text::UnitsPerHour, "시간당 {0}대"},
    {Text::Yield, "수율 {0}"},
    {Text::HeaderLog, "로그 {0}"},
    {Text::HeaderNoLog, "없음"},
    {Text::HeaderReading, "이미지 읽는 중 {0} %"},
    {Text::BannerLogFailed, "로그를 쓸 수 없습니다: 새 유닛을 시작하지 않습니다"},
    {Text::BannerEnded, "스테이션이 끝났습니다 (종료 상태 {0}): 창을 닫으세요"},
    {Text::BannerStopping, "중지하는 중: 진행 중인 유닛은 취소됩니다"},
    {Text::BannerAlsoEnded, " (스테이션 끝남, 종료 상태 {0})"},
    {Text::BannerDatabase, "데이터베이스: {0}"},
    {Text::DatabaseConnecting, "데이터베이스: 연결 중"},
    {Text::DatabaseUpToDate, "데이터베이스: 최신"},
    {Text::DatabaseSending, "데이터베이스: 전송 중"},
    {Text::DatabaseOffline, "데이터베이스 연결 끊김 ({0}부터)"},
    {Text::DatabaseWaiting, "기록 {0}개 대기 중"},
    {Text::DatabaseOneWaiting, "기록 {0}개 대기 중"},
    {Text::BoardCaption, "Pelorin 스테이션"},
    {Text::StopButton, "중지"},
    {Text::StopQuestionOne,
     "유닛 {0}대를 플래시하는 중입니다.\n스테이션을 중지할까요? 진행 중인 유닛은 취소로 "
     "기록됩니다."},
    {Text::StopQuestionMany,
     "유닛 {0}대를 플래시하는 중입니다.\n스테이션을 중지할까요? 진행 중인 유닛은 취소로 "
     "기록됩니다."},
    {Text::WindowFailed, "보드 창을 만들 수 없습니다."},
    {Text::FormCaption, "Pelorin 스테이션 - 시작"},
    {Text::FormImage, "이미지:"},
    {Text::FormChoose, "선택..."},
    {Text::FormSize, "크기:"},
    {Text::FormByteSum, "바이트 합:"},
    {Text::FormExpected, "기대 SHA-256:"},
    {Text::FormLog, "로그 파일:"},
    {Text::FormPorts, "포트:"},
    {Text::FormPortsHint, "비우면 모든 포트. 여러 포트는 공백으로 구분, 끝의 *는 앞부분 일치."},
    {Text::FormUnits, "동시 유닛 수:"},
    {Text::FormUnitsRange, "(1~{0})"},
    {Text::FormReflash, "이 이미지로 검증됐다고 로그에 있는 유닛도 다시 플래시"},
    {Text::FormStart, "시작"},
    {Text::FormCancel, "취소"},
    {Text::FormReading, "읽는 중…"},
    {Text::FormBytes, "{0} 바이트"},
    {Text::FormImageTitle, "이미지"},
    {Text::FormLogTitle, "로그 파일"},
    {Text::FormLogFilter, "생산 로그 (*.jsonl)"},
    {Text::FormAllFiles, "모든 파일"},
    {Text::FormBadSha256, "기대 SHA-256은 16진수 64자리여야 합니다. 입력: \"{0}\""},
    {Text::FormBadUnits, "동시 유닛 수는 1~{0}입니다"},
    {Text::FormDatabase, "데이터베이스:"},
    {Text::FormDatabaseHint, "ODBC 연결 문자열 또는 DSN=이름; 비우면 데이터베이스 없음"},
    {Text::FormDatabaseNeedsLog, "데이터베이스에는 로그 파일이 필요합니다: 로그의 기록을 데이터베이스로 보냅니다"},
    {Text::HelpIntro,
     "USB 포트를 보드로 보여 주고, 유닛이 꽂히는 대로 플래시하며 유닛마다 생산 로그에 한 줄을 "
     "씁니다. IMAGE가 없으면 먼저 이미지를 묻습니다."},
    {Text::HelpFooter,
     "종료 상태: 0 모든 유닛 검증됨, 1 실패한 유닛 있음, 2 잘못된 인자 또는 보낼 수 없는\n"
     "이미지, 4 로그 줄을 쓰지 못함, 130 진행 중인 유닛이 있을 때 중지됨."},
    {Text::HelpUsage, "사용법"},
    {Text::HelpPositionals, "인자"},
    {Text::HelpOptions, "옵션"},
    {Text::HelpHelp, "이 도움말을 보이고 끝냅니다"},
    {Text::HelpVersion, "버전을 보이고 끝냅니다"},
    {Text::HelpLang,
     "보드의 언어: ko (한국어) 또는 en (영어). 주지 않으면 Windows 표시 언어가 한국어일 때 "
     "한국어, 그 밖에는 영어"},
    {Text::HelpFamily, "pipe (벌크 파이프, 기본값) 또는 driver (드라이버 서비스)"},
    {Text::HelpJson, "실행의 JSON 기록을 FILE에 씁니다 (- 표준 출력)"},
    {Text::HelpList, "연결된 장치를 출력합니다. 아무것도 보내지 않습니다"},
    {Text::HelpStation, "장치가 올 때마다 플래시합니다. Ctrl+C까지 (또는 --count 기록까지)"},
    {Text::HelpWriteTimeout,
     "파이프 쓰기 한 번의 제한 시간(초). 넘으면 그 장치를 포기합니다 (기본값 10)"},
    {Text::HelpAnswerTimeout,
     "이미지를 보낸 뒤, 그리고 장치가 RECEIVE를 답한 뒤에 다시, 장치가 답해야 하는 "
     "시간(초) (기본값 300)"},
    {Text::HelpLogOption, "스테이션: 끝난 장치마다 JSON 한 줄을 FILE에 덧붙입니다"},
    {Text::HelpSha256, "스테이션: 이미지의 SHA-256이 이 값이 아니면 시작하지 않습니다"},
    {Text::HelpPort,
     "스테이션: 이 위치의 장치만 플래시합니다 (끝의 *는 앞부분 일치). 여러 번 줄 수 있습니다"},
    {Text::HelpMaxDevices, "스테이션: 동시에 플래시하는 장치 수 (기본값 16, 최대 64)"},
    {Text::HelpCount, "스테이션: 기록 N개 뒤에 끝냅니다"},
    {Text::HelpReflash, "스테이션: 이 이미지로 검증됐다고 로그에 있는 유닛도 다시 플래시합니다"},
    {Text::HelpDatabase,
     "스테이션: 모든 기록을 공장의 PostgreSQL 데이터베이스에도 보내고, 유닛이 이미 검증됐는지 "
     "데이터베이스에 묻습니다: ODBC 연결 문자열 또는 DSN=이름 (--log 필요)"},
    {Text::HelpName, "스테이션: 기록에 쓸 스테이션 이름 (기본값: 컴퓨터 이름)"},
    {Text::HelpImage, "이미지 파일 (*.PAK 또는 *.nb0), 4 GiB 미만"},
    {Text::UsageHint, "자세한 내용은 --help로 실행해 보세요."},
    {Text::NotBoardOption, "{0}은(는) PelorinCli의 옵션이며 PelorinStation의 옵션이 아닙니다"},
};

using Words = std::array<std::string_view, TEXT_COUNT>;

template <size_t N>
constexpr Words WordsOf(const Entry (&entries)[N]) {
  Words words{};
  for (const Entry& entry : entries) words[static_cast<size_t>(entry.id)] = entry.words;
  return words;
}

// Every text once, none empty.
template <size_t N>
constexpr bool EveryTextOnce(const Entry (&entries)[N]) {
  std::array<int, TEXT_COUNT> seen{};
  for (const Entry& entry : entries) {
    if (entry.words.empty()) return false;
    ++seen[static_cast<size_t>(entry.id)];
  }
  for (int count : seen)
    if (count != 1) return false;
  return true;
}

// The places "{0}".."{9}" a text has, one bit each.
constexpr unsigned PlacesOf(std::string_view words) {
  unsigned places = 0;
  for (size_t i = 0; i + 2 < words.size(); ++i) {
    if (words[i] == '{' && words[i + 1] >= '0' && words[i + 1] <= '9' && words[i + 2] == '}')
      places |= 1u << (words[i + 1] - '0');
  }
  return places;
}

constexpr bool SamePlaces(const Words& a, const Words& b) {
  for (size_t i = 0; i < TEXT_COUNT; ++i)
    if (PlacesOf(a[i]) != PlacesOf(b[i])) return false;
  return true;
}

static_assert(EveryTextOnce(ENGLISH), "the English table misses a text, has one twice or empty");
static_assert(EveryTextOnce(KOREAN), "the Korean table misses a text, has one twice or empty");

constexpr Words ENGLISH_WORDS = WordsOf(ENGLISH);
constexpr Words KOREAN_WORDS = WordsOf(KOREAN);
static_assert(SamePlaces(ENGLISH_WORDS, KOREAN_WORDS),
              "a Korean text has other places ({0}, {1}) than its English one");

constexpr BoardTexts ENGLISH_TEXTS(ENGLISH_WORDS.data());
constexpr BoardTexts KOREAN_TEXTS(KOREAN_WORDS.data());

}  // namespace

Language LanguageOfUi(uint16_t langId) {
  // The primary language is the LANGID's low ten bits; LANG_KOREAN is 0x12.
  constexpr uint16_t PRIMARY_MASK = 0x3FF, KOREAN_PRIMARY = 0x12;
  return (langId & PRIMARY_MASK) == KOREAN_PRIMARY ? Language::Korean : Language::English;
}

std::optional<Language> ParseLanguage(std::string_view name) {
  if (name == "ko") return Language::Korean;
  if (name == "en") return Language::English;
  return std::nullopt;
}

std::string_view LanguageName(Language language) {
  return language == Language::Korean ? "ko" : "en";
}

std::string Format(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string text;
  text.reserve(pattern.size() + 16);
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && i + 2 < pattern.size() && pattern[i + 1] >= '0' &&
        pattern[i + 1] <= '9' && pattern[i + 2] == '}') {
      const size_t index = static_cast<size_t>(pattern[i + 1] - '0');
      if (index < values.size()) {
        text += *(values.begin() + index);
        i += 2;
        continue;
      }
    }
    text += pattern[i];
  }
  return text;
}

std::string BoardTexts::operator()(Text id, std::initializer_list<std::string_view> values) const {
  return Format((*this)[id], values);
}

const BoardTexts& TextsFor(Language language) {
  return language == Language::Korean ? KOREAN_TEXTS : ENGLISH_TEXTS;
}

}  // namespace pelorin::board
