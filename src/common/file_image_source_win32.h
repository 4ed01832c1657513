// The chosen image file on Windows: each Open() is an independent read-only handle that allows
// other readers (every download thread opens the image itself).
#pragma once

#include <windows.h>

#include <string>

#include "image_source.h"

namespace pelorin {

class FileImageSource : public ImageSource {
 public:
  explicit FileImageSource(std::wstring path) : path_(std::move(path)) {}
  std::unique_ptr<ImageReader> Open() override;
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

}  // namespace pelorin
