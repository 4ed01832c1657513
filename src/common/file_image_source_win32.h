// The chosen image file on Windows: each Open() is an independent read-only handle that allows
// other readers (every download thread opens the image itself).
#pragma once

#include <windows.h>

#include <string>

#include "image_source.h"

namespace pelorin {

// The Open File dialog's filter for images: OS image packages and raw images.
inline constexpr wchar_t IMAGE_FILE_FILTER[] = L"OS image *.pak\0*.PAK\0(*.nb0)\0*.nb0\0";

class FileImageSource : public ImageSource {
 public:
  explicit FileImageSource(std::wstring path) : path_(std::move(path)) {}
  std::unique_ptr<ImageReader> Open() override;
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

}  // namespace pelorin
