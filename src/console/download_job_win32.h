// What a download thread gets from the main dialog on Windows, and how the dialog starts one.
// The job record is allocated once per dialog and never freed, so a download thread that is
// still ending when the dialog closes never reads freed memory. The dialog writes it only while
// no download runs (its buttons are disabled for the length of one).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "device_activity.h"
#include "download_report.h"
#include "image_source.h"

namespace pelorin {

struct DownloadJob {
  HWND window = nullptr;  // the dialog: target of every post, owner of the boxes and the timer
  std::wstring fileName;  // full path of the chosen image
  uint32_t fileSize = 0;  // its size as shown (low 32 bits)
  // The per-device facts of the current download (the tooltips of the bars); the download
  // threads' reports carry `download`, the number the board gave it.
  DeviceActivityBoard activity;
  uint32_t download = 0;
  // A front end without a window reports through `reporter` (shared by every thread of the
  // download, so thread-safe) and pauses on `clock`; null: each thread posts to `window`
  // itself and pauses with Sleep.
  Reporter* reporter = nullptr;
  Clock* clock = nullptr;
  // A front end that holds the image itself (the headless one pins it) hands its readers out
  // through `image` (shared by every thread of the download); null: each thread opens
  // `fileName` itself.
  ImageSource* image = nullptr;
};

// Starts the download thread of one device type with the job as its only argument, at normal
// priority with the default stack. Returns the thread's handle (the caller closes it when the
// download ends) or null when no thread could be started.
using DownloadThreadStarter = HANDLE (*)(DownloadJob* job);

// The device types of the selector: index 0 is the driver-service device, index 1 the pipe devices.
struct DownloadStarters {
  DownloadThreadStarter controlPipe = nullptr;  // device type 0
  DownloadThreadStarter pipes = nullptr;        // device type 1
};

}  // namespace pelorin
