#include "log_memory.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "station_core.h"

namespace pelorin::station {
namespace {

// The fields of one record that a station's memory needs. A purpose-made parser: it checks the
// whole line as JSON (a line that is not is no record) but builds nothing but these four.
struct RecordFields {
  std::optional<uint64_t> sequence;  // only a plain non-negative integer counts
  std::optional<std::string> serial, result, sha256;
};

class LineParser {
 public:
  explicit LineParser(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  // False when the line is not one JSON object (with nothing but white space after it).
  bool Parse(RecordFields* fields) {
    fields_ = fields;
    SkipSpace();
    if (!Object(0)) return false;
    SkipSpace();
    return p_ == end_;
  }

 private:
  static constexpr int kMaxDepth = 32;  // deeper nesting is no record of ours

  enum class Field { None, Sequence, Serial, Result, Image, Sha256 };

  void SkipSpace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) ++p_;
  }
  bool Take(char c) {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  static void AppendUtf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
      *out += static_cast<char>(code);
    } else if (code < 0x800) {
      *out += static_cast<char>(0xC0 | (code >> 6));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      *out += static_cast<char>(0xE0 | (code >> 12));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (code >> 18));
      *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  bool Hex4(uint32_t* code) {
    if (end_ - p_ < 4) return false;
    *code = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = HexDigit(p_[i]);
      if (digit < 0) return false;
      *code = *code << 4 | static_cast<uint32_t>(digit);
    }
    p_ += 4;
    return true;
  }

  // A string; its decoded text goes to `out` when there is one.
  bool String(std::string* out) {
    if (!Take('"')) return false;
    for (;;) {
      const char* start = p_;
      while (p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20)
        ++p_;
      if (out != nullptr) out->append(start, p_);
      if (p_ == end_) return false;
      if (*p_ == '"') {
        ++p_;
        return true;
      }
      if (*p_ != '\\') return false;  // a control character must be escaped
      ++p_;
      if (p_ == end_) return false;
      const char escaped = *p_++;
      char plain = 0;
      switch (escaped) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': {
          uint32_t code = 0;
          if (!Hex4(&code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {  // a surrogate pair
            uint32_t low = 0;
            if (!Take('\\') || !Take('u') || !Hex4(&low) || low < 0xDC00 || low > 0xDFFF)
              return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
          }
          if (out != nullptr) AppendUtf8(code, out);
          continue;
        }
        default: return false;
      }
      if (out != nullptr) *out += plain;
    }
  }

  // A number; `value` gets it when it is a plain non-negative integer that fits.
  bool Number(std::optional<uint64_t>* value) {
    bool plain = true;
    if (Take('-')) plain = false;
    if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
    uint64_t number = 0;
    if (*p_ == '0') {
      ++p_;
    } else {
      while (p_ != end_ && *p_ >= '0' && *p_ <= '9') {
        const uint64_t digit = static_cast<uint64_t>(*p_ - '0');
        if (number > (UINT64_MAX - digit) / 10) plain = false;
        number = number * 10 + digit;
        ++p_;
      }
    }
    if (Take('.')) {
      plain = false;
      if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
      while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      plain = false;
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
      while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    }
    if (value != nullptr) {
      if (plain) {
        *value = number;
      } else {
        value->reset();
      }
    }
    return true;
  }

  bool Literal(const char* word) {
    const size_t size = std::strlen(word);
    if (static_cast<size_t>(end_ - p_) < size || std::memcmp(p_, word, size) != 0) return false;
    p_ += size;
    return true;
  }

  // Any value; `field` says what the record's memory takes from it.
  bool Value(int depth, Field field) {
    SkipSpace();
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return Object(depth + 1, field == Field::Image);
      case '[': return Array(depth + 1);
      case '"': {
        std::optional<std::string>* target = field == Field::Serial   ? &fields_->serial
                                             : field == Field::Result ? &fields_->result
                                             : field == Field::Sha256 ? &fields_->sha256
                                                                      : nullptr;
        if (target == nullptr) return String(nullptr);
        std::string text;
        if (!String(&text)) return false;
        *target = std::move(text);
        return true;
      }
      case 't': return Literal("true");
      case 'f': return Literal("false");
      case 'n': return Literal("null");
      default: return Number(field == Field::Sequence ? &fields_->sequence : nullptr);
    }
  }
  // A field about to be read again forgets what an earlier key of the same name gave: the last of
  // equal keys wins, and one of another type gives nothing.
  void Forget(Field field) {
    if (field == Field::Sequence) fields_->sequence.reset();
    if (field == Field::Serial) fields_->serial.reset();
    if (field == Field::Result) fields_->result.reset();
    if (field == Field::Sha256 || field == Field::Image) fields_->sha256.reset();
  }

  // An object: the record itself at depth 0, its "image" when `image`.
  bool Object(int depth, bool image = false) {
    if (depth > kMaxDepth || !Take('{')) return false;
    SkipSpace();
    if (Take('}')) return true;
    std::string key;
    for (;;) {
      SkipSpace();
      key.clear();
      if (!String(&key)) return false;
      SkipSpace();
      if (!Take(':')) return false;
      // Compared as views: lengths first, so that most keys are told apart without a memcmp.
      const std::string_view name = key;
      Field field = Field::None;
      if (depth == 0) {
        if (name == "sequence") field = Field::Sequence;
        if (name == "serial") field = Field::Serial;
        if (name == "result") field = Field::Result;
        if (name == "image") field = Field::Image;
      } else if (image && name == "sha256") {
        field = Field::Sha256;
      }
      Forget(field);
      if (!Value(depth, field)) return false;
      SkipSpace();
      if (Take(',')) continue;
      return Take('}');
    }
  }

  bool Array(int depth) {
    if (depth > kMaxDepth || !Take('[')) return false;
    SkipSpace();
    if (Take(']')) return true;
    for (;;) {
      if (!Value(depth, Field::None)) return false;
      SkipSpace();
      if (Take(',')) continue;
      return Take(']');
    }
  }

  const char* p_;
  const char* const end_;
  RecordFields* fields_ = nullptr;
};

// The number after the first `"sequence":` of a line, without parsing the line (0 when there is
// none): whether the line may raise the highest sequence.
uint64_t QuickSequence(std::string_view line) {
  static constexpr std::string_view kKey = "\"sequence\"";
  const size_t key = line.find(kKey);
  if (key == std::string_view::npos) return 0;
  size_t i = key + kKey.size();
  while (i < line.size() && (line[i] == ' ' || line[i] == ':')) ++i;
  uint64_t number = 0;
  for (size_t digits = 0; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits) {
    if (digits == 19) return UINT64_MAX;  // too long to be a count: let the parser decide
    number = number * 10 + static_cast<uint64_t>(line[i] - '0');
  }
  return number;
}

// The "log" of a line as the station writes it, `{"log": "<36 characters>", ...`, without
// parsing the line: empty when the line does not begin that way. Every line is looked at (the
// identity of the last one that has it counts), so this must cost next to nothing.
std::string_view QuickIdentity(std::string_view line) {
  static constexpr std::string_view kHead = "{\"log\": \"";
  static constexpr size_t kUuid = 36;
  if (line.size() < kHead.size() + kUuid + 1 || line.substr(0, kHead.size()) != kHead ||
      line[kHead.size() + kUuid] != '"')
    return {};
  const std::string_view identity = line.substr(kHead.size(), kUuid);
  for (size_t i = 0; i < kUuid; ++i) {
    const char c = identity[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
  }
  return identity;
}

}  // namespace

LogMemoryReader::LogMemoryReader(std::string sha256) : sha256_(std::move(sha256)) {
  const size_t size = sha256_.size();
  skip_.fill(static_cast<uint32_t>(size));
  for (size_t i = 0; i + 1 < size; ++i)
    skip_[static_cast<unsigned char>(sha256_[i])] = static_cast<uint32_t>(size - 1 - i);
}

// Whether the line holds sha256_ anywhere. Every line of a log is searched, most of them in vain,
// and a plain search stops at each digit that begins the SHA-256 (a dozen or more per line).
bool LogMemoryReader::NamesImage(std::string_view line) const {
  const size_t size = sha256_.size();
  if (size == 0 || line.size() < size) return false;
  const char last = sha256_[size - 1];
  for (size_t end = size - 1; end < line.size();
       end += skip_[static_cast<unsigned char>(line[end])]) {
    if (line[end] == last &&
        std::memcmp(line.data() + end + 1 - size, sha256_.data(), size - 1) == 0)
      return true;
  }
  return false;
}

bool LogMemoryReader::MayNameVerifiedSerial(std::string_view line) const {
  if (verifiedSerials_ == 0) return false;
  static constexpr std::string_view kKey = "\"serial\"";
  for (size_t key = line.find(kKey); key != std::string_view::npos;
       key = line.find(kKey, key + 1)) {
    size_t i = key + kKey.size();
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size() || line[i] != ':') continue;
    ++i;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size() || line[i] != '"') continue;
    const size_t start = i + 1;
    const size_t end = line.find_first_of("\"\\", start);
    if (end == std::string_view::npos) return false;
    if (line[end] == '\\') return true;  // escaped: only the parser can tell what it says
    const auto it = memory_.serials.find(std::string(line.substr(start, end - start)));
    if (it != memory_.serials.end() && it->second) return true;
  }
  // A key itself written with escapes ("s\u0065rial") is found only by the parser.
  return line.find("\\u") != std::string_view::npos;
}

void LogMemoryReader::Line(std::string_view line) {
  if (line.empty()) return;
  if (const std::string_view identity = QuickIdentity(line); !identity.empty())
    memory_.identity.assign(identity);
  // Only a line that names this image, may hold a higher sequence or may be a later record of a
  // unit known as verified can change the memory.
  const bool names = NamesImage(line);
  if (!names && QuickSequence(line) <= memory_.lastSequence && !MayNameVerifiedSerial(line))
    return;
  RecordFields fields;
  if (!LineParser(line).Parse(&fields)) return;
  if (fields.sequence) memory_.lastSequence = std::max(memory_.lastSequence, *fields.sequence);
  if (!fields.serial || fields.serial->empty() || !fields.result) return;
  const auto it = memory_.serials.find(*fields.serial);
  if (fields.sha256 && *fields.sha256 == sha256_) {
    // A later record of the same unit replaces what an earlier one said.
    const bool verified = IsVerifiedResult(*fields.result);
    if (it == memory_.serials.end()) {
      memory_.serials.emplace(*fields.serial, verified);
      verifiedSerials_ += verified ? 1 : 0;
    } else {
      verifiedSerials_ += (verified ? 1 : 0) - (it->second ? 1 : 0);
      it->second = verified;
    }
  } else if (it != memory_.serials.end()) {
    // Flashed (or tried) with another image since: it does not hold this one.
    verifiedSerials_ -= it->second ? 1 : 0;
    it->second = false;
  }
}

void LogMemoryReader::Add(std::string_view piece) {
  if (first_) {
    // A log saved by Notepad begins with a UTF-8 byte order mark: it is no part of the first
    // record. The mark may come split over the first pieces.
    static constexpr std::string_view kBom = "\xEF\xBB\xBF";
    const size_t take = std::min(piece.size(), kBom.size() - head_.size());
    head_.append(piece.substr(0, take));
    piece.remove_prefix(take);
    if (head_.size() < kBom.size() && kBom.substr(0, head_.size()) == head_) return;
    first_ = false;
    if (head_ != kBom) Lines(head_);
    head_.clear();
  }
  Lines(piece);
}

void LogMemoryReader::Lines(std::string_view piece) {
  size_t start = 0;
  for (size_t end; (end = piece.find('\n', start)) != std::string_view::npos; start = end + 1) {
    if (partial_.empty()) {
      Line(piece.substr(start, end - start));
    } else {
      partial_.append(piece.substr(start, end - start));
      Line(partial_);
      partial_.clear();
    }
  }
  partial_.append(piece.substr(start));
}

LogMemory LogMemoryReader::Finish() {
  if (first_) {
    // Fewer bytes than a byte order mark, all of them like its start: no record, and no newline.
    first_ = false;
    partial_ = std::move(head_);
    head_.clear();
  }
  memory_.endsWithoutNewline = !partial_.empty();
  // A whole record that lost only its newline is a record; a torn one parses as none.
  Line(partial_);
  partial_.clear();
  return std::move(memory_);
}

LogMemory ReadLogMemory(std::string_view content, const std::string& sha256) {
  LogMemoryReader reader(sha256);
  reader.Add(content);
  return reader.Finish();
}

}  // namespace pelorin::station
