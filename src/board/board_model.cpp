#include "board_model.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <utility>

namespace pelorin::board {
namespace {

std::string Dash(const std::string& text) {
  return text.empty() ? "-" : text;
}

std::string Seconds(uint32_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
  return text;
}

// The number in `text` after `key` ("Port_#0002" -> 2), -1 when there is none.
long NumberAfter(std::string_view text, std::string_view key) {
  const size_t at = text.find(key);
  if (at == std::string_view::npos) return -1;
  size_t i = at + key.size();
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return -1;
  long number = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && number < 100000; ++i)
    number = number * 10 + (text[i] - '0');
  return number;
}

}  // namespace

TileColour ColourOf(TileState state) {
  switch (state) {
    case TileState::Empty:
    case TileState::NotFlashed: return TileColour::Grey;
    case TileState::Waiting:
    case TileState::Opening: return TileColour::Amber;
    case TileState::Flashing:
    case TileState::Verifying: return TileColour::Blue;
    case TileState::Done:
    case TileState::AlreadyVerified: return TileColour::Green;
    case TileState::Failed:
    case TileState::Cancelled:
    case TileState::NotInLog: return TileColour::Red;
  }
  return TileColour::Grey;
}

std::string ShortPort(std::string_view port, const BoardTexts& texts) {
  const long portNumber = NumberAfter(port, "Port_#");
  const long hub = NumberAfter(port, "Hub_#");
  if (portNumber >= 0 && hub >= 0)
    return texts(Text::HubPort, {std::to_string(hub), std::to_string(portNumber)});
  // A location path: the USB(n) steps below the root hub, "USB 2.1".
  std::string steps;
  for (size_t at = port.find("#USB("); at != std::string_view::npos;
       at = port.find("#USB(", at + 1)) {
    const long step = NumberAfter(port.substr(at), "#USB(");
    if (step < 0) break;
    if (!steps.empty()) steps += '.';
    steps += std::to_string(step);
  }
  if (!steps.empty()) return "USB " + steps;
  return std::string(port);
}

namespace {

// The controller of a location path: its last element before the root hub ("PCI(1400)" of
// PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)); empty when there is none.
std::string ControllerOf(std::string_view port) {
  size_t root = port.find("#USBROOT(");
  if (root == std::string_view::npos) root = port.find("#USB(");
  if (root == std::string_view::npos) return {};
  const std::string_view before = port.substr(0, root);
  const size_t start = before.rfind('#');
  return std::string(start == std::string_view::npos ? before : before.substr(start + 1));
}

}  // namespace

std::map<std::string, std::string> UniqueLabels(const std::vector<std::string>& ports,
                                                const BoardTexts& texts) {
  // Each round gives a longer form to the ports whose label another port shares.
  const auto shortForm = [&texts](const std::string& port) { return ShortPort(port, texts); };
  const auto withController = [&texts](const std::string& port) {
    const std::string controller = ControllerOf(port);
    return controller.empty() ? port : controller + " \xC2\xB7 " + ShortPort(port, texts);
  };
  const auto full = [](const std::string& port) { return port; };
  std::map<std::string, std::string> labels;
  for (const std::string& port : ports) labels[port] = shortForm(port);
  for (const auto& longer : {std::function<std::string(const std::string&)>(withController),
                             std::function<std::string(const std::string&)>(full)}) {
    std::map<std::string, int> uses;
    for (const auto& [port, label] : labels) ++uses[label];
    for (auto& [port, label] : labels)
      if (uses[label] > 1) label = longer(port);
  }
  return labels;
}

bool PortBefore(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
    if (da && db) {
      size_t ei = i, ej = j;
      while (ei < a.size() && a[ei] == '0') ++ei;
      while (ej < b.size() && b[ej] == '0') ++ej;
      size_t ni = ei, nj = ej;
      while (ni < a.size() && a[ni] >= '0' && a[ni] <= '9') ++ni;
      while (nj < b.size() && b[nj] >= '0' && b[nj] <= '9') ++nj;
      if (ni - ei != nj - ej) return ni - ei < nj - ej;
      const int order = a.compare(ei, ni - ei, b, ej, nj - ej);
      if (order != 0) return order < 0;
      i = ni;
      j = nj;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return a < b;
}

std::string BoardModel::ReasonOf(const station::StationRecord& record) const {
  if (record.message == station::TEXT_UNIT_REMOVED) return texts_(Text::ReasonRemoved);
  static constexpr std::pair<std::string_view, Text> REASONS[] = {
      {"verified", Text::ReasonVerified},
      {"already-verified", Text::ReasonAlreadyVerified},
      {"verification-error", Text::ReasonVerificationError},
      {"link-error", Text::ReasonLinkError},
      {"image-error", Text::ReasonImageError},
      {"not-started", Text::ReasonNotStarted},
      {"cancelled", Text::ReasonCancelled},
  };
  for (const auto& [result, reason] : REASONS)
    if (record.result == result) return texts_(reason);
  // A result word of a later engine: as it is, its hyphens as spaces.
  std::string reason = record.result;
  std::replace(reason.begin(), reason.end(), '-', ' ');
  return reason;
}

BoardModel::BoardModel(const std::vector<std::string>& exactPorts, Language language)
    : texts_(TextsFor(language)) {
  for (const std::string& port : exactPorts) {
    if (!port.empty() && port.back() != '*') PortTile(port);
  }
}

Tile& BoardModel::PortTile(const std::string& port) {
  const auto [it, added] = tiles_.try_emplace(port);
  Tile& tile = it->second;
  tile.port = port;
  if (added) {
    // A new port may make another's short label ambiguous: every label is made again.
    std::vector<std::string> ports;
    for (const auto& [name, each] : tiles_) ports.push_back(name);
    const std::map<std::string, std::string> labels = UniqueLabels(ports, texts_);
    for (auto& [name, each] : tiles_) {
      const std::string label =
          name == UNKNOWN_PORT_TILE ? texts_(Text::UnknownPort) : labels.at(name);
      if (each.label != label) {
        each.label = label;
        ++each.changes;
      }
    }
  }
  return tile;
}

Tile* BoardModel::TileOf(uint64_t unit) {
  const auto port = portOf_.find(unit);
  if (port == portOf_.end()) return nullptr;
  Tile& tile = tiles_.at(port->second);
  return tile.unit == unit ? &tile : nullptr;
}

void BoardModel::Arrived(const station::StationUnit& unit) {
  // Units whose port Windows cannot tell share one tile, rather than adding one each.
  const std::string port = unit.port.empty() ? std::string(UNKNOWN_PORT_TILE) : unit.port;
  Tile& tile = PortTile(port);
  portOf_[unit.number] = port;
  // A new unit in the port: what the last one showed goes, its tally stays.
  ++tile.changes;
  tile.unit = unit.number;
  tile.serial = unit.serial;
  tile.state = TileState::Waiting;
  tile.percent = 0;
  tile.reason.clear();
  tile.message.clear();
  tile.started = false;
  tile.unitMs = 0;
}

void BoardModel::Waiting(uint64_t unit) {
  if (Tile* tile = TileOf(unit)) {
    tile->state = TileState::Waiting;
    ++tile->changes;
  }
}

void BoardModel::Started(uint64_t unit, uint32_t now) {
  Tile* tile = TileOf(unit);
  if (tile == nullptr) return;
  ++tile->changes;
  tile->state = TileState::Opening;
  if (!tile->started) tile->startedAt = now;  // an open tried again keeps its start
  tile->started = true;
}

void BoardModel::Progress(uint64_t unit, station::UnitPhase phase, uint64_t bytesSent,
                          uint64_t imageSize) {
  Tile* tile = TileOf(unit);
  if (tile == nullptr) return;
  ++tile->changes;
  if (phase == station::UnitPhase::Verifying) {
    tile->state = TileState::Verifying;
    tile->percent = 100;
    return;
  }
  if (tile->state == TileState::Verifying) return;  // a late progress changes nothing
  tile->state = TileState::Flashing;
  tile->percent = imageSize == 0 ? 100 : static_cast<int>(bytesSent * 100 / imageSize);
}

void BoardModel::Ended(uint64_t unit, const station::StationRecord& record, bool written) {
  const auto port = portOf_.find(unit);
  if (port == portOf_.end()) return;
  Tile& tile = tiles_.at(port->second);
  ++tile.changes;
  // The port's tally counts the unit even when the next unit in the port shows already (a unit
  // pulled while it ran ends after its successor arrived).
  const bool shown = tile.unit == unit;
  tile.tally.Add(record.result, written);
  // Whether the port itself is fine: its flashes only (a unit already verified was not flashed
  // here, one the operator stopped says nothing of the port).
  switch (station::KindOf(record.result)) {
    case station::RecordKind::Verified:
      tile.failedInARow = 0;
      tile.checkPort = false;
      break;
    case station::RecordKind::Failed:
      if (++tile.failedInARow >= CHECK_PORT_AFTER_FAILURES) tile.checkPort = true;
      break;
    default: break;
  }
  if (!shown) return;
  tile.unitMs = record.ms;
  tile.message = record.message;
  tile.reason.clear();
  if (!written) {
    tile.state = TileState::NotInLog;
    tile.reason = ReasonOf(record);
    return;
  }
  switch (station::KindOf(record.result)) {
    case station::RecordKind::Verified: tile.state = TileState::Done; break;
    case station::RecordKind::AlreadyVerified: tile.state = TileState::AlreadyVerified; break;
    case station::RecordKind::Cancelled: tile.state = TileState::Cancelled; break;
    case station::RecordKind::Failed:
      tile.state = TileState::Failed;
      tile.reason = ReasonOf(record);
      break;
  }
}

void BoardModel::Departed(uint64_t unit) {
  if (Tile* tile = TileOf(unit)) {
    ++tile->changes;
    tile->state = TileState::Empty;
    tile->unit = 0;
    tile->serial.clear();
    tile->reason.clear();
    tile->message.clear();
    tile->percent = 0;
    tile->started = false;
  }
  portOf_.erase(unit);
}

void BoardModel::NotStarted(uint64_t unit) {
  if (Tile* tile = TileOf(unit)) {
    ++tile->changes;
    tile->state = TileState::NotFlashed;
  }
}

void BoardModel::Finished(int exitStatus, const station::StationCounts& counts) {
  finished_ = true;
  exitStatus_ = exitStatus;
  finalCounts_ = counts;
  // The engine has told every unit's end; a tile still in flight or waiting would say what is no
  // longer so.
  for (auto& [port, tile] : tiles_) {
    switch (tile.state) {
      case TileState::Waiting:
      case TileState::Opening:
      case TileState::Flashing:
      case TileState::Verifying:
        ++tile.changes;
        tile.state = TileState::NotFlashed;
        break;
      default: break;
    }
  }
}

void BoardModel::Database(const station::DatabaseState& state) {
  database_ = state;
  // The start check's finding is out of date once the database has every record.
  if (state.link == station::DatabaseState::UpToDate) {
    databaseNotes_.erase(std::remove_if(databaseNotes_.begin(), databaseNotes_.end(),
                                        [](const auto& note) { return !note.second; }),
                         databaseNotes_.end());
  }
}

void BoardModel::DatabaseNote(const std::string& text, bool sticky) {
  if (!text.empty()) databaseNotes_.emplace_back(text, sticky);
}

std::string BoardModel::DatabaseNotes() const {
  std::string notes;
  for (const auto& [text, sticky] : databaseNotes_) notes += (notes.empty() ? "" : " | ") + text;
  return notes;
}

std::string BoardModel::DatabaseText(const station::DatabaseState& state) const {
  const auto waiting = [&] {
    if (!state.waiting) return std::string();
    return ", " + texts_(*state.waiting == 1 ? Text::DatabaseOneWaiting : Text::DatabaseWaiting,
                         {std::to_string(*state.waiting)});
  };
  switch (state.link) {
    case station::DatabaseState::Connecting: return texts_(Text::DatabaseConnecting);
    case station::DatabaseState::UpToDate: return texts_(Text::DatabaseUpToDate);
    case station::DatabaseState::Sending: return texts_(Text::DatabaseSending) + waiting();
    case station::DatabaseState::Offline:
      return texts_(Text::DatabaseOffline, {state.offlineSince}) + waiting();
  }
  return {};
}

std::string BoardModel::DatabaseAlarmText(const std::string& alarm) const {
  return texts_(Text::BannerDatabase, {alarm});
}

std::string BoardModel::DatabaseNoteText(const std::string& notes) const {
  return texts_(Text::BannerDatabase, {notes});
}

std::vector<const Tile*> BoardModel::Tiles() const {
  std::vector<const Tile*> tiles;
  for (const auto& [port, tile] : tiles_) tiles.push_back(&tile);
  std::sort(tiles.begin(), tiles.end(),
            [](const Tile* a, const Tile* b) { return PortBefore(a->port, b->port); });
  return tiles;
}

std::string BoardModel::StateText(const Tile& tile) const {
  const BoardTexts& t = texts_;
  switch (tile.state) {
    case TileState::Empty: return t(Text::StateEmpty);
    case TileState::Waiting: return t(Text::StateWaiting);
    case TileState::Opening: return t(Text::StateOpening);
    case TileState::Flashing: return t(Text::StateFlashing, {std::to_string(tile.percent)});
    case TileState::Verifying: return t(Text::StateVerifying);
    case TileState::Done: return t(Text::StateDone);
    case TileState::AlreadyVerified: return t(Text::StateAlreadyVerified);
    case TileState::Failed: return t(Text::StateFailed, {tile.reason});
    case TileState::Cancelled: return t(Text::StateCancelled);
    case TileState::NotFlashed: return t(Text::StateNotFlashed);
    case TileState::NotInLog: return t(Text::StateNotInLog, {tile.reason});
  }
  return {};
}

std::string BoardModel::PortName(const Tile& tile) const {
  return tile.port == UNKNOWN_PORT_TILE ? texts_(Text::UnknownPort) : tile.port;
}

std::string BoardModel::TileText(const Tile& tile) const {
  const BoardTexts& t = texts_;
  std::string state;
  switch (tile.state) {
    case TileState::Empty: state = t(Text::TileEmpty); break;
    case TileState::Waiting: state = t(Text::TileWaiting); break;
    // A running unit's time changes all the time: its tile draws it, its text does not carry it
    // (a text that changes ten times a second is no use to a screen reader).
    case TileState::Opening: state = t(Text::TileOpening); break;
    case TileState::Flashing: state = t(Text::TileFlashing, {std::to_string(tile.percent)}); break;
    case TileState::Verifying: state = t(Text::TileVerifying); break;
    case TileState::Done: state = t(Text::TileVerified, {Seconds(tile.unitMs)}); break;
    case TileState::AlreadyVerified: state = t(Text::TileAlreadyVerified); break;
    case TileState::Failed: state = t(Text::TileFailed, {Seconds(tile.unitMs), tile.reason}); break;
    case TileState::Cancelled: state = t(Text::TileCancelled); break;
    case TileState::NotFlashed: state = t(Text::TileNotFlashed); break;
    case TileState::NotInLog: state = t(Text::TileNotInLog, {tile.reason}); break;
  }
  std::string text = PortName(tile) + " | " + Dash(tile.serial) + " | " + state + " | " +
                     t(Text::CountVerified, {std::to_string(tile.tally.verified)}) + ", " +
                     t(Text::CountFailed, {std::to_string(tile.tally.failed)});
  if (tile.checkPort) text += " | " + t(Text::TileCheckPort);
  return text;
}

std::string BoardModel::CountersText(const station::StationCounts& c) const {
  const BoardTexts& t = texts_;
  const station::Tally& tally = c.tally;
  const auto count = [&t](Text id, auto n) { return t(id, {std::to_string(n)}); };
  std::string text = count(Text::CountVerified, tally.verified) + ", " +
                     count(Text::CountAlreadyVerified, tally.alreadyVerified) + ", " +
                     count(Text::CountFailed, tally.failed) + ", " +
                     count(Text::CountCancelled, tally.cancelled) + ", ";
  if (tally.notInLog > 0) text += count(Text::CountNotInLog, tally.notInLog) + ", ";
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.0f", c.unitsPerHour);
  const int yield = tally.yieldPercent();
  return text + count(Text::CountFlashing, c.flashing) + ", " +
         count(Text::CountWaiting, c.waiting) + " | " + t(Text::UnitsPerHour, {rate}) + " | " +
         t(Text::Yield, {yield < 0 ? "-" : std::to_string(yield) + " %"}) + " | " +
         ClockText(c.elapsedMs / 1000);
}

}  // namespace pelorin::board
