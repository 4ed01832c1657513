#include "file_image_source_win32.h"

#include "scoped_handle_win32.h"

namespace pelorin {
namespace {

class FileImageReader : public ImageReader {
 public:
  explicit FileImageReader(ScopedHandle file) : file_(std::move(file)) {}

  bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) override {
    DWORD read = 0;
    if (!ReadFile(file_.get(), buffer, capacity, &read, nullptr)) {
      *got = 0;
      return false;
    }
    *got = read;
    return true;
  }

  uint64_t Size() override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.get(), &size)) return 0;
    return static_cast<uint64_t>(size.QuadPart);
  }

 private:
  ScopedHandle file_;
};

}  // namespace

std::unique_ptr<ImageReader> FileImageSource::Open() {
  ScopedHandle file(CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return nullptr;
  return std::make_unique<FileImageReader>(std::move(file));
}

}  // namespace pelorin
