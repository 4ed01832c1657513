// What a download thread gets from the front end that starts it, on Windows: the image, the
// reporter every report goes to, and (for a front end that has them) a clock and an image source
// of its own. A download thread knows no front end: it reports through the reporter it is
// handed. The dialog allocates its job once and never frees it, so a download thread that is
// still ending when the dialog closes never reads freed memory; a front end writes its job only
// while no download of it runs.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "download_report.h"
#include "image_source.h"

namespace pelorin {

struct DownloadJob {
  std::wstring fileName;  // full path of the image
  // Where every report of the download goes (the dialog's: posts to its window), shared by every
  // thread of the download, so thread-safe; never null. Each thread holds it from its start to
  // its end, so the front end may hand the next download another while a thread of this one is
  // still ending.
  std::shared_ptr<Reporter> reporter;
  // Pauses and ticks of every thread of the download; null: Sleep and GetTickCount.
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

}  // namespace pelorin
