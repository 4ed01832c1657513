// The chosen image file as a download thread sees it: opened read-only by the thread itself,
// read front to back. Windows: CreateFileW + ReadFile (read sharing, existing file only).
// Tests: a real temporary file, or a generated stream for images too large to hold in memory.
#pragma once

#include <cstdint>
#include <memory>

namespace pelorin {

class ImageReader {
 public:
  virtual ~ImageReader() = default;  // closes the file
  // Reads up to `capacity` bytes into `buffer`. Returns false when the read itself fails;
  // `*got` is the count read (0 at the end of the file, and 0 on failure).
  virtual bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) = 0;
  // The file's full size in bytes when it was opened.
  virtual uint64_t Size() = 0;
};

class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // Opens the chosen image for reading; null when it cannot be opened (or its size cannot be
  // read). Any thread may call it; each call gives an independent reader with its own position.
  virtual std::unique_ptr<ImageReader> Open() = 0;
};

}  // namespace pelorin
