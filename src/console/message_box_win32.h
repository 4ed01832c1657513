// Every message box of the program goes through ShowMessageBox, so that the Windows tests can
// put a recorder in place of MessageBoxW (a real box would block the test).
#pragma once

#include <windows.h>

#include <string>

namespace pelorin {

using MessageBoxFunction = int (*)(HWND owner, const wchar_t* text, const wchar_t* caption,
                                   UINT flags);

// Replaces the function that shows boxes (null restores MessageBoxW); returns the previous one.
// Safe to call while download threads show boxes.
MessageBoxFunction SetMessageBoxFunction(MessageBoxFunction function);

int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags);

// An application box: OK button, the application's name as caption, the exclamation icon
// unless `icon` names another one.
int ShowAppBox(HWND owner, const std::wstring& text, UINT icon = MB_ICONEXCLAMATION);

// A dialog-owned box: OK button, stop icon, a caption of its own.
int ShowStopBox(HWND owner, const std::wstring& text, const std::wstring& caption);

}  // namespace pelorin
