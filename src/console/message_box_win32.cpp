#include "message_box_win32.h"

#include <atomic>

#include "text_win32.h"

namespace pelorin {
namespace {

std::atomic<MessageBoxFunction> messageBoxFunction{nullptr};

}  // namespace

MessageBoxFunction SetMessageBoxFunction(MessageBoxFunction function) {
  return messageBoxFunction.exchange(function);
}

int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
  if (MessageBoxFunction function = messageBoxFunction.load()) {
    return function(owner, text.c_str(), caption.c_str(), flags);
  }
  return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
}

int ShowAppBox(HWND owner, const std::wstring& text, UINT icon) {
  return ShowMessageBox(owner, text, ApplicationName(), MB_OK | icon);
}

int ShowStopBox(HWND owner, const std::wstring& text, const std::wstring& caption) {
  return ShowMessageBox(owner, text, caption, MB_OK | MB_ICONHAND);
}

}  // namespace pelorin
