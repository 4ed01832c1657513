// The --database text: an ODBC connection string ("Driver={PostgreSQL Unicode};Server=...;
// Database=...;UID=...;PWD=...") or "DSN=name". It is handed to the driver as it is and never
// printed, logged or shown as it is: only redacted. Portable; no state.
#pragma once

#include <string>
#include <string_view>

namespace pelorin::fleet {

// The text with the value of every PWD= or Password= attribute (any case; braced values too,
// "{a;b}}c}") replaced by "***", so it can be shown. Attributes keep their order and spelling.
std::string RedactConnectionString(std::string_view text);

// Whether the text holds a PWD= or Password= attribute with a value: the station warns that a
// password on a command line is seen by every program that lists processes, and names the safer
// places (a DSN, the PostgreSQL password file).
bool HasPassword(std::string_view text);

// Whether the text has an attribute named `key` (any case).
bool HasAttribute(std::string_view text, std::string_view key);

}  // namespace pelorin::fleet
