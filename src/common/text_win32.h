// Text conversions between the portable code's UTF-8 and the wide Windows API, and the
// application's name as message-box caption.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace pelorin {

// UTF-8 to UTF-16; malformed sequences become U+FFFD.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
// 8-bit text in the ANSI code page (device paths, what CreateFileA takes) to UTF-8.
std::string AnsiToUtf8(std::string_view text);

// The text of a window or control, any length.
std::wstring WindowTextW(HWND window);

// The base name of the running executable without its extension ("Pelorin" for Pelorin.exe).
std::wstring ApplicationName();

// The text of a Windows error code ("error 5: Access is denied."), for messages.
std::string ErrorText(DWORD error);

// The full path of `path` as UTF-8 (as given when it cannot be made full).
std::string FullPathUtf8(const std::wstring& path);

}  // namespace pelorin
