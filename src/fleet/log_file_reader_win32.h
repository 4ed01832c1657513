// The production log file as the shipper reads it on Windows: a read handle of its own, opened
// beside the engine's (which appends and lets others read), with positional reads.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "fleet_log_source.h"
#include "scoped_handle_win32.h"

namespace pelorin::fleet {

class LogFileReader : public ByteReader {
 public:
  // Opens `path` for reading, sharing it with the engine's writer. Null when it cannot be opened
  // (`error` says why).
  static std::unique_ptr<LogFileReader> Open(const std::wstring& path, std::string* error);

  bool Size(uint64_t* size, std::string* error) override;
  bool ReadAt(uint64_t offset, char* buffer, size_t size, size_t* got,
              std::string* error) override;

 private:
  explicit LogFileReader(HANDLE file) : file_(file) {}
  ScopedHandle file_;
};

}  // namespace pelorin::fleet
