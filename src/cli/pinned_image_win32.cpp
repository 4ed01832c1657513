#include "pinned_image_win32.h"

#include <bcrypt.h>

#include <algorithm>
#include <vector>

#include "control_pipe_download.h"
#include "pipe_download.h"

namespace pelorin::cli {
namespace {

// A whole number of the control-pipe download's blocks, so that only the last read needs the
// padding its last block gets.
constexpr uint32_t READ_CHUNK = 25 * CONTROL_PIPE_BLOCK_SIZE;

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

}  // namespace

bool PinnedImage::Open(const std::wstring& path) {
  file_.Reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file_) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file_.get(), &size) || size.QuadPart < 0) {
    file_.Reset();
    return false;
  }
  size_ = static_cast<uint64_t>(size.QuadPart);
  return true;
}

PinnedImage::Pass PinnedImage::Summarise(bool wordSum, bool sha256, const std::atomic<bool>& stop,
                                         ImageFacts* facts, std::string* sha256Hex) {
  facts->size = size_;
  facts->byteSum = 0;
  facts->wordSum.reset();
  LARGE_INTEGER start{};
  if (!file_ || !SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN)) return Pass::Failed;
  Sha256 hash;
  if (sha256 && !hash.ok()) return Pass::Failed;
  std::vector<uint8_t> buffer(READ_CHUNK);
  uint64_t total = 0;
  uint32_t words = 0;
  for (;;) {
    if (stop) return Pass::Stopped;
    // A whole chunk, however the file system hands it out; only the last one is shorter.
    uint32_t got = 0;
    while (got < READ_CHUNK) {
      DWORD read = 0;
      if (!ReadFile(file_.get(), buffer.data() + got, READ_CHUNK - got, &read, nullptr))
        return Pass::Failed;
      if (read == 0) break;
      got += read;
    }
    if (got == 0) break;
    facts->byteSum += ByteSum(buffer.data(), got);
    if (sha256 && !hash.Add(buffer.data(), got)) return Pass::Failed;
    if (wordSum) {
      // The last chunk is padded with '0' up to a whole packet, as the control-pipe download
      // pads its last block.
      uint32_t padded = got;
      if (got < READ_CHUNK) {
        padded = (got + CONTROL_PIPE_PACKET_SIZE - 1) / CONTROL_PIPE_PACKET_SIZE *
                 CONTROL_PIPE_PACKET_SIZE;
        std::fill(buffer.begin() + got, buffer.begin() + padded, PAD_BYTE);
      }
      words += WordChecksum(buffer.data(), padded);
    }
    total += got;
    if (got < READ_CHUNK) break;
  }
  if (total != size_) return Pass::Failed;
  if (wordSum) facts->wordSum = words;
  if (sha256 && (sha256Hex == nullptr || !hash.Finish(sha256Hex))) return Pass::Failed;
  return Pass::Done;
}

}  // namespace pelorin::cli
