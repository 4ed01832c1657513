// The board's words in each language it speaks: one table per language (board_texts.cpp), each
// holding every text of the board, its start form and its boxes under the same ids. The language
// is chosen once at the start (--lang, else the Windows user interface language) and every text
// the board shows comes from that one table. What the engine says (a record's message, a
// refusal) is shown as it comes; numbers, units and times keep their form in every language.
//
// A text with values has numbered places, "{0}", "{1}", filled by Format: each language orders
// them as its sentences go ("{0} verified" and "검증 {0}").
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace pelorin::board {

enum class Language { English, Korean };

// The board's language for a Windows user interface language (a LANGID, as
// GetUserDefaultUILanguage gives it): Korean for any Korean one, English for every other.
Language LanguageOfUi(uint16_t langId);
// The value of --lang: "ko" or "en"; nothing for any other.
std::optional<Language> ParseLanguage(std::string_view name);
// The --lang value of a language: "ko", "en".
std::string_view LanguageName(Language language);

// Every text of the board. Grouped by where it shows; the comments give the English.
enum class Text {
  // A tile's state in large type.
  StateEmpty,            // Plug in a unit
  StateWaiting,          // Waiting for a slot
  StateOpening,          // Opening…
  StateFlashing,         // Flashing {percent} %
  StateVerifying,        // Verifying
  StateDone,             // Done – pull the unit
  StateAlreadyVerified,  // Already verified – pull the unit
  StateFailed,           // FAILED: {reason} – pull the unit
  StateCancelled,        // STOPPED – flash it again
  StateNotFlashed,       // Not flashed – pull the unit
  StateNotInLog,         // NOT IN THE LOG: {reason} – pull the unit
  // A tile's state in its window text (what screen readers and scripts read).
  TileEmpty,            // plug in a unit
  TileWaiting,          // waiting for a slot
  TileOpening,          // opening
  TileFlashing,         // flashing {percent} %
  TileVerifying,        // verifying
  TileVerified,         // verified {time}
  TileAlreadyVerified,  // already verified
  TileFailed,           // failed {time}: {reason}
  TileCancelled,        // cancelled
  TileNotFlashed,       // not flashed
  TileNotInLog,         // not in the log: {reason}
  TileCheckPort,        // check this port (the window text's mark)
  UnknownPort,          // unknown port (the tile of units whose port Windows cannot tell)
  HubPort,              // Hub {hub} · Port {port} (a port's short form in large type)
  // The few words of a failed or unlogged unit's reason, from its record.
  ReasonRemoved,            // removed while flashing
  ReasonVerified,           // verified
  ReasonAlreadyVerified,    // already verified
  ReasonVerificationError,  // verification error
  ReasonLinkError,          // link error
  ReasonImageError,         // image error
  ReasonNotStarted,         // not started
  ReasonCancelled,          // cancelled
  // A tile's small lines.
  TileTallyLine,  // {verified} ok · {failed} failed
  TileCheckMark,  // Check this port
  // The engine's figures: the header's counts (joined by ", ") and a tile's tally in its text.
  CountVerified,         // {n} verified
  CountAlreadyVerified,  // {n} already verified
  CountFailed,           // {n} failed
  CountCancelled,        // {n} cancelled
  CountNotInLog,         // {n} not in the log
  CountFlashing,         // {n} flashing
  CountWaiting,          // {n} waiting
  UnitsPerHour,          // {n} units/h
  Yield,                 // yield {percent or -}
  // The header's second line and the image's reading.
  HeaderLog,      // log {path}
  HeaderNoLog,    // none
  HeaderReading,  // reading the image {percent} %
  // The banner.
  BannerLogFailed,  // the log cannot be written: no new units start
  BannerEnded,      // the station has ended (exit status {status}): close the window
  BannerStopping,   // stopping: the units in flight are cancelled
  BannerAlsoEnded,  //  (the station has ended, exit status {status})
  BannerDatabase,   // database: {what the database said, or the start found}
  // The database's state in the header (the console's words in English).
  DatabaseConnecting,  // database: connecting
  DatabaseUpToDate,    // database: up to date
  DatabaseSending,     // database: sending
  DatabaseOffline,     // database offline since {10:42}
  DatabaseWaiting,     // {n} records waiting (after ", ")
  DatabaseOneWaiting,  // {1} record waiting
  // The window and its Stop.
  BoardCaption,      // Pelorin Station
  StopButton,        // Stop
  StopQuestionOne,   // {n} unit is being flashed.\nStop the station? ...
  StopQuestionMany,  // {n} units are being flashed.\nStop the station? ...
  WindowFailed,      // The board's window cannot be made.
  // The start form.
  FormCaption,     // Pelorin Station - start
  FormImage,       // Image:
  FormChoose,      // Choose...
  FormSize,        // Size:
  FormByteSum,     // Byte sum:
  FormExpected,    // Expected SHA-256:
  FormLog,         // Log file:
  FormPorts,       // Ports:
  FormPortsHint,   // Every port when empty; ...
  FormUnits,       // Units at once:
  FormUnitsRange,  // (1 to {max})
  FormReflash,     // Re-flash units that the log shows verified with this image
  FormStart,       // Start
  FormCancel,      // Cancel
  FormReading,     // reading…
  FormBytes,       // {n} bytes
  FormImageTitle,  // Image (the Open File dialog's title)
  FormLogTitle,    // Log file (the Save dialog's title)
  FormLogFilter,   // Production log (*.jsonl)
  FormAllFiles,    // All files
  FormBadSha256,   // the expected SHA-256 needs 64 hexadecimal digits, got "{text}"
  FormBadUnits,    // units at once: 1 to {max}
  FormDatabase,         // Database:
  FormDatabaseHint,     // An ODBC connection string or DSN=name; empty: no database.
  FormDatabaseNeedsLog,  // a database needs a log file: the database is sent the log's records
  // The command line: the help box and usage errors.
  HelpIntro,        // Shows a board of the USB ports ...
  HelpFooter,       // Exit status: ...
  HelpUsage,        // Usage
  HelpPositionals,  // Positionals
  HelpOptions,      // Options
  HelpHelp,         // Print this help message and exit
  HelpVersion,      // print the version and exit
  HelpLang,         // the board's language: ko (Korean) or en (English); ...
  HelpFamily,       // (PelorinCli's options, listed to be refused by name)
  HelpJson,
  HelpList,
  HelpStation,
  HelpWriteTimeout,  // (the station's options, as PelorinCli describes them)
  HelpAnswerTimeout,
  HelpLogOption,
  HelpSha256,
  HelpPort,
  HelpMaxDevices,
  HelpCount,
  HelpReflash,
  HelpDatabase,
  HelpName,
  HelpImage,
  UsageHint,       // Run with --help for more information.
  NotBoardOption,  // {option} is PelorinCli's, not PelorinStation's
  Count            // not a text: how many there are
};
inline constexpr size_t TEXT_COUNT = static_cast<size_t>(Text::Count);

// One language's table: every Text's words.
class BoardTexts {
 public:
  constexpr explicit BoardTexts(const std::string_view* words) : words_(words) {}
  // The words as the table has them (places unfilled).
  std::string_view operator[](Text id) const { return words_[static_cast<size_t>(id)]; }
  // The words with their places filled: "{0}" by the first value, "{1}" by the second, ...
  std::string operator()(Text id, std::initializer_list<std::string_view> values = {}) const;

 private:
  const std::string_view* words_;
};

const BoardTexts& TextsFor(Language language);

// `pattern` with "{0}".."{9}" replaced by `values` (a place without a value stays as it is).
std::string Format(std::string_view pattern, std::initializer_list<std::string_view> values);

}  // namespace pelorin::board
