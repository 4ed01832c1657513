#include "pinned_image_win32.h"

#include <bcrypt.h>

#include <vector>

#include "pipe_download.h"

namespace pelorin::station {
namespace {

// SHA-256 through CNG.
class Sha256 {
 public:
  Sha256() {
    if (BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
      algorithm_ = nullptr;
      return;
    }
    if (BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0) != 0) hash_ = nullptr;
  }
  ~Sha256() {
    if (hash_ != nullptr) BCryptDestroyHash(hash_);
    if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
  }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  bool ok() const { return hash_ != nullptr; }
  bool Add(const uint8_t* data, uint32_t size) {
    return BCryptHashData(hash_, const_cast<PUCHAR>(data), size, 0) == 0;
  }
  bool Finish(std::string* hex) {
    UCHAR digest[32];
    if (BCryptFinishHash(hash_, digest, sizeof digest, 0) != 0) return false;
    static const char kDigits[] = "0123456789abcdef";
    hex->clear();
    for (UCHAR b : digest) {
      *hex += kDigits[b >> 4];
      *hex += kDigits[b & 15];
    }
    return true;
  }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
};

// Reads the pinned handle at `offset`; `*got` 0 at the end of the file.
bool ReadAt(HANDLE file, uint64_t offset, uint8_t* buffer, uint32_t capacity, uint32_t* got) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  *got = 0;
  if (!ReadFile(file, buffer, capacity, &read, &at)) {
    if (GetLastError() == ERROR_HANDLE_EOF) return true;  // at or past the end
    return false;
  }
  *got = read;
  return true;
}

class PinnedImageReader : public ImageReader {
 public:
  PinnedImageReader(HANDLE file, uint64_t size) : file_(file), size_(size) {}
  bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) override {
    if (!ReadAt(file_, position_, buffer, capacity, got)) return false;
    position_ += *got;
    return true;
  }
  uint64_t Size() override { return size_; }

 private:
  HANDLE file_;  // the pinned image's: not this reader's to close
  uint64_t size_;
  uint64_t position_ = 0;
};

}  // namespace

bool PinnedImage::Open(const std::wstring& path) {
  file_.Reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file_.get(), &size) || size.QuadPart < 0) {
    file_.Reset();
    return false;
  }
  size_ = static_cast<uint64_t>(size.QuadPart);
  return true;
}

PinnedImage::Pass PinnedImage::Summarise(
    bool sha256, const std::atomic<bool>& stop, Sums* sums,
    const std::function<void(const uint8_t*, uint32_t, bool)>& piece,
    const std::function<void(uint64_t)>& progress) {
  sums->byteSum = 0;
  sums->sha256.clear();
  if (!file_) return Pass::Failed;
  Sha256 hash;
  if (sha256 && !hash.ok()) return Pass::Failed;
  std::vector<uint8_t> buffer(PINNED_READ_CHUNK);
  uint64_t total = 0;
  for (;;) {
    if (stop) return Pass::Stopped;
    // A whole piece, however the file system hands it out; only the last one is shorter.
    uint32_t got = 0;
    while (got < PINNED_READ_CHUNK) {
      uint32_t read = 0;
      if (!ReadAt(file_.get(), total + got, buffer.data() + got, PINNED_READ_CHUNK - got, &read))
        return Pass::Failed;
      if (read == 0) break;
      got += read;
    }
    const bool last = got < PINNED_READ_CHUNK || total + got >= size_;
    sums->byteSum += ByteSum(buffer.data(), got);
    if (sha256 && !hash.Add(buffer.data(), got)) return Pass::Failed;
    if (piece) piece(buffer.data(), got, last);
    total += got;
    if (progress) progress(total);
    if (last) break;
  }
  if (total != size_) return Pass::Failed;
  if (sha256 && !hash.Finish(&sums->sha256)) return Pass::Failed;
  return Pass::Done;
}

std::unique_ptr<ImageReader> PinnedImageSource::Open() {
  if (image_.handle() == nullptr || image_.handle() == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<PinnedImageReader>(image_.handle(), image_.size());
}

}  // namespace pelorin::station
