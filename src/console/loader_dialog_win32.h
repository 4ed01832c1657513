// The main dialog (template 102): the operator's choices, the per-download state, the sixteen
// progress bars, the status line and the elapsed-time label. It starts a download thread of the
// selected device type and turns the threads' posted reports into what its controls show; the
// rules themselves live in ConsoleModel. Every handler runs on the dialog's thread.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "console_model.h"
#include "device_activity.h"
#include "download_job_win32.h"

namespace pelorin {

// Control ids of the sixteen progress bars, bar 0 to bar 15.
inline constexpr std::array<int, PROGRESS_BAR_COUNT> PROGRESS_BAR_IDS = {
    1004, 1006, 1009, 1012, 1013, 1014, 1015, 1016, 1017, 1018, 1019, 1020, 1021, 1022, 1023, 1024};

inline constexpr int32_t DEVICE_TYPE_DRIVER_SERVICE = 0;
inline constexpr int32_t DEVICE_TYPE_PIPES = 1;

// The download threads of the selector's device types.
struct DownloadStarters {
  DownloadThreadStarter controlPipe = nullptr;  // device type 0
  DownloadThreadStarter pipes = nullptr;        // device type 1
};

// The dialog's own timer that shows the bars whose redraw had to wait (ConsoleModel).
inline constexpr unsigned BAR_REDRAW_TIMER_ID = ELAPSED_TIMER_ID + 1;

class LoaderDialog {
 public:
  // Shows the About box owned by the dialog (system-menu entry).
  using AboutHandler = void (*)(HWND owner);
  // Asks the operator for an image file; false when cancelled.
  using FileChooser = bool (*)(HWND owner, std::wstring* path);

  explicit LoaderDialog(DownloadStarters starters, AboutHandler about = nullptr);
  ~LoaderDialog();
  LoaderDialog(const LoaderDialog&) = delete;
  LoaderDialog& operator=(const LoaderDialog&) = delete;

  // Runs the dialog modally; returns IDOK (Exit) or IDCANCEL (Escape, close box).
  INT_PTR DoModal(HWND parent);
  // Creates the dialog modeless (the Windows tests drive it through the caller's message loop).
  // When it ends, its window is destroyed and ended()/result() tell how.
  HWND Create(HWND parent);

  HWND hwnd() const { return hwnd_; }
  bool ended() const { return ended_; }
  INT_PTR result() const { return result_; }

  void SetFileChooser(FileChooser chooser) { fileChooser_ = chooser; }
  // The default chooser: the Open File dialog for *.PAK and *.nb0 images.
  static bool ShowOpenImageDialog(HWND owner, std::wstring* path);
  // The image's size as shown (its low 32 bits), opened for reading with no sharing; 0 with a
  // "파일 에러" box owned by `owner` when it cannot be opened.
  static uint32_t ImageFileSize(HWND owner, const std::wstring& path);

  // Data exchange. Load writes the fields into the controls; Save reads them back in the order
  // elapsed label, bars, file size, file name, status text, device type, and stops at a size that
  // is not an unsigned decimal number (after telling the operator), keeping that field and the
  // ones after it.
  void LoadFields();
  bool SaveFields();

  const ConsoleModel& model() const { return model_; }
  uint32_t fileSize() const { return fileSize_; }
  const std::wstring& fileName() const { return fileName_; }
  int32_t deviceType() const { return deviceType_; }
  HANDLE runningWorker() const { return runningWorker_; }
  // The record the download threads read; allocated once, never freed.
  DownloadJob* job() const { return job_; }

  // Parses the size edit's text: decimal digits (blanks around them allowed) up to 4294967295.
  static bool ParseFileSize(const std::wstring& text, uint32_t* size);

  // The tooltip control of the bars (one tool per bar) and the text a bar's tool shows now.
  HWND tooltip() const { return tooltip_; }
  std::wstring BarTooltipText(int bar) const;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  void OnInitDialog();
  void AddAboutEntry();
  bool OnSysCommand(WPARAM command);
  bool OnPaint();
  void OnOpen();
  void OnDownload();
  void OnExit();
  void OnTimer(WPARAM id);
  void CreateBarTooltips();
  bool OnNotify(LPARAM lParam);
  void Apply(const ConsoleEffects& effects);
  void DrawBar(int bar);
  void EnableButtons(bool enable);
  void End(INT_PTR result);

  DownloadStarters starters_;
  AboutHandler about_;
  FileChooser fileChooser_ = &ShowOpenImageDialog;
  HWND hwnd_ = nullptr;
  bool modal_ = false;
  bool ended_ = false;
  INT_PTR result_ = 0;

  // Fields, in data-exchange order after the model's counters.
  ConsoleModel model_;  // elapsed seconds, finished/expected devices, bars, status text
  HANDLE runningWorker_ = nullptr;
  uint32_t fileSize_ = 0;
  std::wstring fileName_;
  int32_t deviceType_ = DEVICE_TYPE_PIPES;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  DownloadJob* job_;
  DeviceActivityBoard* activity_;  // what the download threads tell of each device (tooltips)
  HWND tooltip_ = nullptr;
  std::wstring tooltipText_;  // what the tooltip shows, kept while it shows it
  std::array<BarState, PROGRESS_BAR_COUNT> sentStates_{};  // the states the bars were sent
  bool redrawTimerArmed_ = false;  // BAR_REDRAW_TIMER_ID is set, to come at redrawTimerDue_
  uint32_t redrawTimerDue_ = 0;
};

}  // namespace pelorin
