// The station's production log on Windows: JSON Lines, one record per unit that ended, each
// written whole with one WriteFile and flushed (FlushFileBuffers) before anything hears of the
// unit's end. The file is opened for appending and shared for reading only, so readers may tail
// it while a second station on the same file is refused.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include "log_memory.h"
#include "scoped_handle_win32.h"
#include "station_core.h"

namespace pelorin::station {

class ProductionLog {
 public:
  enum class Opened { Yes, InUse, Failed, Stopped };
  // Opens (or creates) the log at `path` and reads what it tells a station working with the
  // image of SHA-256 `sha256`, a megabyte at a time. InUse: another station writes it. Stopped:
  // `stop` was set while it was read (the log is closed again, nothing written). The log keeps
  // its identity (that of its last line that has one); a new log, or one written before logs had
  // one, gets a new one (random, BCryptGenRandom), written with its next record.
  Opened Open(const std::wstring& path, const std::string& sha256, const std::atomic<bool>& stop,
              LogMemory* memory, DWORD* error);

  // Closes the log; a file that this station created and never wrote to is removed again (a
  // station that ended before its first record leaves no empty log behind).
  void Close();
  ~ProductionLog() { Close(); }

  // The station's name in its records (--name); "" (and by default) the computer's name. Before
  // the first Append.
  void SetStation(const std::string& name);
  // The log's identity ("" without a file), its path, and the sequence of its last record.
  const std::string& identity() const { return identity_; }
  const std::wstring& path() const { return path_; }
  uint64_t LastSequence();

  // Numbers the record (continuing the log's count), stamps it with the log's identity, the time
  // and the station's name, and writes it. False when it could not be written whole and flushed; `error` tells why.
  // Without a file (no --log) only numbers and stamps it. Any thread.
  bool Append(StationRecord& record, const StationImage& image, DWORD* error);

 private:
  std::mutex mutex_;
  ScopedHandle file_;
  std::wstring path_;
  bool created_ = false;   // Open made the file
  bool appended_ = false;  // a record (or part of one) went into it
  uint64_t lastSequence_ = 0;
  // The file does not end with a newline (a writer died mid-line, a record lost its newline, or
  // a write of ours failed part-way or wholly): the next record begins with one, so that it
  // stands on a line of its own.
  bool needsNewline_ = false;
  std::string station_ = ComputerName();
  std::string identity_;

  static std::string ComputerName();
};

// The wall clock: milliseconds since 1970, UTC.
int64_t SystemUnixMs();

}  // namespace pelorin::station
