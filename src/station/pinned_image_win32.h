// The image as a headless run or a station holds it for its whole life: opened once for reading,
// with every other opener allowed to read it but nobody to write, rename or delete it, and read
// by the devices' workers through this very handle (positional reads), never by its path again:
// the bytes the devices are sent are the bytes summed and hashed here, even if the path comes to
// name another file (a re-pointed folder link or share).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "image_source.h"
#include "scoped_handle_win32.h"

namespace pelorin::station {

// Summarise reads this much at a time: a whole number of the control-pipe download's 40,960-byte
// blocks, so that a word sum over the pieces pads only the last one.
inline constexpr uint32_t PINNED_READ_CHUNK = 25 * 40960;

class PinnedImage {
 public:
  // Opens and pins `path`. False when it cannot be opened or its size cannot be read.
  bool Open(const std::wstring& path);
  uint64_t size() const { return size_; }
  HANDLE handle() const { return file_.get(); }

  struct Sums {
    uint32_t byteSum = 0;  // of every byte, modulo 2^32 (the pipe family sends it)
    std::string sha256;    // lower-case hex, when asked for
  };
  enum class Pass { Done, Failed, Stopped };
  // One pass over the whole file from its start, PINNED_READ_CHUNK bytes at a time (the last
  // piece shorter): its byte sum, on request its SHA-256 (the platform's CNG), and each piece to
  // `piece` (may be empty) with whether it is the last; `progress` (may be empty) after each
  // piece with the bytes read so far. Stops between two pieces once `stop` is set. Failed: a
  // read failed, the file ended early, or the hash could not be made.
  Pass Summarise(bool sha256, const std::atomic<bool>& stop, Sums* sums,
                 const std::function<void(const uint8_t*, uint32_t, bool)>& piece = {},
                 const std::function<void(uint64_t)>& progress = {});

 private:
  ScopedHandle file_;
  uint64_t size_ = 0;
};

// The pinned image as the workers' image source: each reader reads the pinned handle at its own
// position (ReadFile with an offset), so that nothing opens the path again. The pinned image must
// outlive every reader.
class PinnedImageSource : public ImageSource {
 public:
  explicit PinnedImageSource(const PinnedImage& image) : image_(image) {}
  std::unique_ptr<ImageReader> Open() override;

 private:
  const PinnedImage& image_;
};

}  // namespace pelorin::station
