// The station's production log on Windows: JSON Lines, one record per device that ended, each
// written whole with one WriteFile and flushed (FlushFileBuffers) before its device counts as
// ended. The file is opened for appending and shared for reading only, so readers may tail it
// while a second station on the same file is refused.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>

#include "scoped_handle_win32.h"
#include "station_core.h"

namespace pelorin::cli {

class ProductionLog {
 public:
  enum class Opened { Yes, InUse, Failed };
  // Opens (or creates) the log at `path` and reads what it tells a station working with the
  // image of SHA-256 `sha256`. InUse: another station writes it.
  Opened Open(const std::wstring& path, const std::string& sha256, LogMemory* memory,
              DWORD* error);

  // Numbers the record (continuing the log's count), stamps it with the time and this computer's
  // name, and writes it. False when it could not be written whole and flushed. Without a file
  // (no --log) only numbers and stamps it; `error` tells why it failed. Any thread.
  bool Append(StationRecord& record, const StationImage& image, DWORD* error);

 private:
  std::mutex mutex_;
  ScopedHandle file_;
  uint64_t lastSequence_ = 0;
  bool tornTail_ = false;  // the file ends in a line its writer did not finish
  std::string station_ = ComputerName();

  static std::string ComputerName();
};

}  // namespace pelorin::cli
