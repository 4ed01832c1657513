#include "file_image_source_win32.h"

#include "scoped_handle_win32.h"

namespace pelorin {
namespace {

class FileImageReader : public ImageReader {
 public:
  FileImageReader(ScopedHandle file, uint64_t size) : file_(std::move(file)), size_(size) {}

  bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) override {
    DWORD read = 0;
    if (!ReadFile(file_.get(), buffer, capacity, &read, nullptr)) {
      *got = 0;
      return false;
    }
    *got = read;
    return true;
  }

  uint64_t Size() override { return size_; }

 private:
  ScopedHandle file_;
  const uint64_t size_;
};

}  // namespace

std::unique_ptr<ImageReader> FileImageSource::Open() {
  ScopedHandle file(CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return nullptr;
  // A size that cannot be read is an image that cannot be opened: sending "length 0" and
  // nothing else would let the download end as if it had worked.
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return nullptr;
  return std::make_unique<FileImageReader>(std::move(file), static_cast<uint64_t>(size.QuadPart));
}

}  // namespace pelorin
