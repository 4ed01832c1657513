// The image as PelorinCli holds it for the whole run: opened once for reading, with every other
// opener allowed to read it but nobody to write, rename or delete it, so that the bytes the
// devices are sent (each worker opens the image again, for reading) are the bytes summed here.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "cli_core.h"
#include "scoped_handle_win32.h"

namespace pelorin::cli {

class PinnedImage {
 public:
  // Opens and pins `path`. False when it cannot be opened or its size cannot be read.
  bool Open(const std::wstring& path);
  uint64_t size() const { return size_; }

  enum class Pass { Done, Failed, Stopped };
  // One pass over the whole file from its start, in chunks: its byte sum, and on request the
  // control-pipe download's word sum (its last block padded as that download pads it) and the
  // SHA-256 (the platform's CNG, lower-case hex). Stops between two chunks once `stop` is set.
  // Failed: a read failed, the file ended early, or the hash could not be made.
  Pass Summarise(bool wordSum, bool sha256, const std::atomic<bool>& stop, ImageFacts* facts,
                 std::string* sha256Hex = nullptr);

 private:
  ScopedHandle file_;
  uint64_t size_ = 0;
};

}  // namespace pelorin::cli
