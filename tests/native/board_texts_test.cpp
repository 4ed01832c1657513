// The board's language: chosen by --lang, else by Windows' user interface language; and what a
// Korean board says, with the same fields and separators as the English one that scripts read.
#include "board_texts.h"

#include <gtest/gtest.h>

#include "board_arguments.h"
#include "board_model.h"

namespace pelorin::board {
namespace {

TEST(BoardLanguage, LangElseTheUserInterfaceLanguageChoosesIt) {
  // LANGIDs: Korean (Korea) 0x0412 and the bare Korean 0x0012; English, Japanese, Chinese and
  // the neutral LANGID are not Korean.
  EXPECT_EQ(LanguageOfUi(0x0412), Language::Korean);
  EXPECT_EQ(LanguageOfUi(0x0012), Language::Korean);
  for (uint16_t other : {0x0409, 0x0809, 0x0411, 0x0804, 0x0000, 0x0413})
    EXPECT_EQ(LanguageOfUi(other), Language::English) << std::hex << other;

  EXPECT_EQ(ParseBoardArguments({"os.nb0"}, Language::Korean).language, Language::Korean);
  EXPECT_EQ(ParseBoardArguments({"os.nb0"}, Language::English).language, Language::English);
  EXPECT_EQ(ParseBoardArguments({"--lang", "ko", "os.nb0"}, Language::English).language,
            Language::Korean);
  EXPECT_EQ(ParseBoardArguments({"--lang=en", "os.nb0"}, Language::Korean).language,
            Language::English);
  const BoardArguments refused = ParseBoardArguments({"--lang", "kr", "os.nb0"}, Language::Korean);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.exitStatus, EXIT_USAGE);
  // The help and the board's own refusals speak the language chosen, --lang before the UI's.
  EXPECT_EQ(ParseBoardArguments({"--help"}, Language::Korean).text.rfind("USB 포트를", 0), 0u);
  EXPECT_EQ(
      ParseBoardArguments({"--help", "--lang", "en"}, Language::Korean).text.rfind("Shows", 0), 0u);
  EXPECT_EQ(ParseBoardArguments({"--lang", "ko", "--json", "x.json"}, Language::English).text,
            "PelorinStation: --json은(는) PelorinCli의 옵션이며 PelorinStation의 옵션이 아닙니다\n"
            "자세한 내용은 --help로 실행해 보세요.");
}

station::StationRecord Record(const std::string& result, uint32_t ms, std::string message = "") {
  station::StationRecord record;
  record.result = result;
  record.ms = ms;
  record.message = std::move(message);
  return record;
}

// A Korean tile reads as a Korean operator expects, and its window text keeps the English one's
// fields: port | serial | state | tally [| mark].
TEST(BoardTexts, AKoreanBoardKeepsTheFieldsAndSeparators) {
  BoardModel board({}, Language::Korean);
  const std::string port = "Port_#0002.Hub_#0001";
  board.Arrived({1, port, "SN-A", "path-1"});
  board.Started(1, 0);
  board.Progress(1, station::UnitPhase::Sending, 45, 100);
  const Tile& tile = *board.Tiles().at(0);
  EXPECT_EQ(tile.label, "허브 1 · 포트 2");
  EXPECT_EQ(board.StateText(tile), "플래싱 45 %");
  EXPECT_EQ(board.TileText(tile), port + " | SN-A | 플래싱 45 % | 검증 0, 실패 0");
  board.Ended(1, Record("verified", 2000), true);
  EXPECT_EQ(board.StateText(tile), "완료 – 유닛을 뽑으세요");
  EXPECT_EQ(board.TileText(tile), port + " | SN-A | 검증됨 2.0 s | 검증 1, 실패 0");
  // Three failed flashes in a row: the reasons in Korean, the port marked.
  board.Arrived({2, port, "", "path"});
  board.Ended(2, Record("link-error", 900, station::TEXT_UNIT_REMOVED), true);
  EXPECT_EQ(board.StateText(tile), "실패: 플래싱 중 뽑힘 – 유닛을 뽑으세요");
  board.Arrived({3, port, "", "path"});
  board.Ended(3, Record("link-error", 1500), true);
  EXPECT_EQ(board.StateText(tile), "실패: 연결 오류 – 유닛을 뽑으세요");
  board.Arrived({4, port, "", "path"});
  board.Ended(4, Record("verification-error", 2100), true);
  EXPECT_EQ(board.StateText(tile), "실패: 검증 오류 – 유닛을 뽑으세요");
  EXPECT_EQ(board.TileText(tile),
            port + " | - | 실패 2.1 s: 검증 오류 | 검증 1, 실패 3 | 포트 점검 필요");
  board.Arrived({5, port, "SN-E", "path"});
  board.Ended(5, Record("cancelled", 300), false);
  EXPECT_EQ(board.StateText(tile), "로그에 없음: 취소됨 – 유닛을 뽑으세요");
  board.Departed(5);
  EXPECT_EQ(board.StateText(tile), "유닛을 꽂으세요");

  // The units whose port Windows cannot tell: their tile is named in Korean.
  board.Arrived({6, "", "SN-F", "path"});
  const Tile& unknown = *board.Tiles().back();
  EXPECT_EQ(unknown.label, "알 수 없는 포트");
  EXPECT_EQ(board.TileText(unknown), "알 수 없는 포트 | SN-F | 슬롯 대기 중 | 검증 0, 실패 0");

  station::StationCounts counts;
  counts.tally = {.verified = 12, .alreadyVerified = 2, .failed = 1, .cancelled = 0, .notInLog = 1};
  counts.flashing = 3;
  counts.unitsPerHour = 47.6;
  counts.elapsedMs = 902000;
  EXPECT_EQ(board.CountersText(counts),
            "검증 12, 이미 검증 2, 실패 1, 취소 0, 로그 누락 1, 플래싱 3, 대기 0 | 시간당 48대 | "
            "수율 92 % | 15:02");
}

}  // namespace
}  // namespace pelorin::board
