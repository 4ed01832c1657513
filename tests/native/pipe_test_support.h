// Shared pieces of the bulk-pipe tests: a link that records what the worker writes, a scripted
// in-pipe, and a reporter that notes whether a device's pipes and image were closed by the time
// its final report was posted.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "bulk_pipe_device.h"
#include "fake_image_source.h"
#include "pipe_download.h"
#include "recording_reporter.h"

namespace pelorin::test {

// Passes writes on to `inner` and keeps the first 16 bytes and the size of each.
class TapLink : public PipeLink {
 public:
  struct Write_ {
    uint32_t size;
    std::vector<uint8_t> head;
  };
  TapLink(std::unique_ptr<PipeLink> inner, std::vector<Write_>* log)
      : inner_(std::move(inner)), log_(log) {}
  bool Write(const uint8_t* data, uint32_t size, uint32_t* written) override {
    log_->push_back({size, std::vector<uint8_t>(data, data + (size < 16 ? size : 16))});
    return inner_->Write(data, size, written);
  }
  bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) override {
    return inner_->Read(buffer, capacity, got);
  }
  bool Valid() const override { return inner_->Valid(); }

 private:
  std::unique_ptr<PipeLink> inner_;
  std::vector<Write_>* log_;
};

// An in-pipe that plays a script: each step is one read's result (failed, or these bytes).
class ScriptedInLink : public PipeLink {
 public:
  struct Step {
    bool ok;
    std::string bytes;
  };
  // `capacities`, when given, collects what each successful read asked for.
  explicit ScriptedInLink(std::deque<Step> script, std::vector<uint32_t>* capacities = nullptr)
      : script_(std::move(script)), capacities_(capacities) {}
  bool Write(const uint8_t*, uint32_t, uint32_t* written) override {
    *written = 0;
    return false;
  }
  bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) override {
    *got = 0;
    if (script_.empty()) return false;  // the script is over: the device is gone
    Step step = std::move(script_.front());
    script_.pop_front();
    if (!step.ok) return false;
    if (capacities_) capacities_->push_back(capacity);
    const uint32_t n = step.bytes.size() < capacity ? uint32_t(step.bytes.size()) : capacity;
    for (uint32_t i = 0; i < n; ++i) buffer[i] = static_cast<uint8_t>(step.bytes[i]);
    *got = n;
    return true;
  }
  bool Valid() const override { return true; }

 private:
  std::deque<Step> script_;
  std::vector<uint32_t>* capacities_;
};

// Notes, at each final report, whether the device's links and the image readers were closed.
class ClosingCheckReporter : public RecordingReporter {
 public:
  ClosingCheckReporter(const devsim::BulkPipeDevice* device, const devsim::FakeImageSource* image)
      : device_(device), image_(image) {}
  void PostStatus(int32_t code, int32_t lParam) override {
    if (code == STATUS_ERROR || code == STATUS_CHECKSUMS_ERROR || code == STATUS_DEVICE_DONE) {
      bool closed = image_->openReaders() == 0;
      if (device_) {
        const devsim::BulkPipeResult r = device_->Result();
        closed = closed && r.outClosed && r.inClosed;
      }
      closedAtFinalReport.push_back(closed);
    }
    RecordingReporter::PostStatus(code, lParam);
  }
  std::vector<bool> closedAtFinalReport;

 private:
  const devsim::BulkPipeDevice* device_;
  const devsim::FakeImageSource* image_;
};

inline bool IsFinal(const ReportEvent& e) {
  return e.kind == ReportEvent::Status &&
         (e.a == STATUS_ERROR || e.a == STATUS_CHECKSUMS_ERROR || e.a == STATUS_DEVICE_DONE);
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

}  // namespace pelorin::test
