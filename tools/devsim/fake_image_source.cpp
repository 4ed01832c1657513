#include "fake_image_source.h"

#include <algorithm>
#include <cstring>

namespace pelorin::devsim {

class FakeImageReader : public ImageReader {
 public:
  explicit FakeImageReader(FakeImageSource& source) : source_(source) {
    source_.openReaders_ += 1;
    source_.opens_ += 1;
  }
  ~FakeImageReader() override { source_.openReaders_ -= 1; }

  bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) override {
    *got = 0;
    if (position_ >= source_.faults_.failReadAt) return false;
    const uint64_t end = std::min(source_.size_, source_.faults_.endsAt);
    const uint64_t left = position_ < end ? end - position_ : 0;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(capacity, left));
    if (source_.generated_) {
      for (uint32_t i = 0; i < n; ++i) buffer[i] = FakeImageSource::ByteAt(position_ + i);
    } else if (n != 0) {
      std::memcpy(buffer, source_.bytes_.data() + position_, n);
    }
    position_ += n;
    *got = n;
    return true;
  }
  uint64_t Size() override { return source_.size_; }

 private:
  FakeImageSource& source_;
  uint64_t position_ = 0;
};

FakeImageSource::FakeImageSource(std::vector<uint8_t> bytes, ImageFaults faults)
    : size_(bytes.size()), generated_(false), bytes_(std::move(bytes)), faults_(faults) {}

FakeImageSource::FakeImageSource(uint64_t size, bool generated, std::vector<uint8_t> bytes,
                                 ImageFaults faults)
    : size_(size), generated_(generated), bytes_(std::move(bytes)), faults_(faults) {}

std::unique_ptr<FakeImageSource> FakeImageSource::Generated(uint64_t size, ImageFaults faults) {
  return std::unique_ptr<FakeImageSource>(new FakeImageSource(size, true, {}, faults));
}

std::unique_ptr<ImageReader> FakeImageSource::Open() {
  if (faults_.failOpen) return nullptr;
  return std::make_unique<FakeImageReader>(*this);
}

}  // namespace pelorin::devsim
