#include "connection_string.h"

#include <vector>

namespace pelorin::fleet {
namespace {

// One attribute of the string: where its key and its value are.
struct Attribute {
  size_t keyBegin, keyEnd, valueBegin, valueEnd;
};

// Splits "key=value;key={va;lue}}};..." as the driver manager does: a value in braces runs to
// the closing brace ("}}" stands for one brace inside) and may hold ';'.
std::vector<Attribute> Attributes(std::string_view text) {
  std::vector<Attribute> out;
  size_t i = 0;
  while (i < text.size()) {
    const size_t keyBegin = i;
    while (i < text.size() && text[i] != '=' && text[i] != ';') ++i;
    if (i == text.size() || text[i] == ';') {  // a key without value: nothing to hide in it
      ++i;
      continue;
    }
    const size_t keyEnd = i++;
    const size_t valueBegin = i;
    if (i < text.size() && text[i] == '{') {
      ++i;
      while (i < text.size()) {
        if (text[i] == '}') {
          if (i + 1 < text.size() && text[i + 1] == '}') {
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        ++i;
      }
    }
    while (i < text.size() && text[i] != ';') ++i;
    out.push_back({keyBegin, keyEnd, valueBegin, i});
    ++i;
  }
  return out;
}

// The key as the driver compares it: without the spaces around it, in lower case.
std::string KeyOf(std::string_view key) {
  while (!key.empty() && key.front() == ' ') key.remove_prefix(1);
  while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
  std::string lower;
  for (char c : key) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return lower;
}

bool IsPasswordKey(std::string_view key) {
  const std::string lower = KeyOf(key);
  return lower == "pwd" || lower == "password";
}

}  // namespace

std::string RedactConnectionString(std::string_view text) {
  std::string out;
  size_t copied = 0;
  for (const Attribute& a : Attributes(text)) {
    if (!IsPasswordKey(text.substr(a.keyBegin, a.keyEnd - a.keyBegin))) continue;
    out.append(text.substr(copied, a.valueBegin - copied));
    out += "***";
    copied = a.valueEnd;
  }
  out.append(text.substr(copied));
  return out;
}

bool HasPassword(std::string_view text) {
  for (const Attribute& a : Attributes(text))
    if (IsPasswordKey(text.substr(a.keyBegin, a.keyEnd - a.keyBegin)) && a.valueEnd > a.valueBegin)
      return true;
  return false;
}

bool HasAttribute(std::string_view text, std::string_view key) {
  for (const Attribute& a : Attributes(text))
    if (KeyOf(text.substr(a.keyBegin, a.keyEnd - a.keyBegin)) == KeyOf(key)) return true;
  return false;
}

}  // namespace pelorin::fleet
