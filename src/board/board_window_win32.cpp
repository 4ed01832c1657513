#include "board_window_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>

#include "dpi_win32.h"
#include "station_options.h"
#include "text_win32.h"

namespace pelorin::board {

namespace {

constexpr UINT_PTR REFRESH_TIMER = 1;
// Posted by the engine's thread: wParam 0 the image is being read (lParam: percent), 1 it was
// read (the header can name it), 2 the image or the log was refused (refusal_ says why).
constexpr UINT WM_BOARD_PREPARE = WM_APP + 2;

// The largest a tile grows, in 96-DPI pixels (a few units do not fill the screen with one).
constexpr int TILE_MAX_WIDTH = 420, TILE_MAX_HEIGHT = 190;
constexpr int HEADER_HEIGHT = 62, BANNER_HEIGHT = 34, MARGIN = 8, GAP = 6, STOP_WIDTH = 110;

std::wstring Wide(const std::string& text) {
  return Utf8ToWide(text);
}

std::wstring TimeText(const Tile& tile, uint32_t now) {
  char text[32] = "";
  switch (tile.state) {
    case TileState::Opening:
    case TileState::Flashing:
    case TileState::Verifying:
      std::snprintf(text, sizeof text, "%.0f s", (now - tile.startedAt) / 1000.0);
      break;
    case TileState::Done:
    case TileState::Failed:
    case TileState::Cancelled:
    case TileState::NotInLog:
      if (tile.unitMs > 0) std::snprintf(text, sizeof text, "%.1f s", tile.unitMs / 1000.0);
      break;
    default: break;
  }
  return Wide(text);
}

TileView ViewOf(const BoardModel& model, const Tile& tile, uint32_t now) {
  const BoardTexts& texts = model.texts();
  TileView view;
  view.colour = ColourOf(tile.state);
  view.port = Wide(tile.label);
  view.state = Wide(model.StateText(tile));
  view.serial = Wide(tile.serial);
  view.time = TimeText(tile, now);
  view.tally = Wide(texts(Text::TileTallyLine, {std::to_string(tile.tally.verified),
                                                std::to_string(tile.tally.failed)}));
  view.percent = tile.state == TileState::Flashing ? tile.percent : -1;
  view.checkPort = tile.checkPort;
  if (tile.checkPort) view.mark = Wide(texts(Text::TileCheckMark));
  return view;
}

LRESULT CALLBACK StripProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto* view = reinterpret_cast<const StripView*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_NCCREATE:
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(
                            reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams));
      break;
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT client;
      GetClientRect(window, &client);
      HDC memory = CreateCompatibleDC(dc);
      HBITMAP bitmap = CreateCompatibleBitmap(dc, std::max<LONG>(client.right, 1),
                                              std::max<LONG>(client.bottom, 1));
      HDC target = bitmap != nullptr ? memory : dc;
      HGDIOBJ oldBitmap = bitmap != nullptr ? SelectObject(memory, bitmap) : nullptr;
      if (view != nullptr) {
        SetBkColor(target, view->background);
        ExtTextOutW(target, 0, 0, ETO_OPAQUE, &client, nullptr, 0, nullptr);
        SetBkMode(target, TRANSPARENT);
        SetTextColor(target, view->text);
        const int pad = client.bottom / 8 + 2;
        RECT area = {client.left + 2 * pad, client.top + pad / 2, client.right - 2 * pad,
                     client.bottom - pad / 2};
        HGDIOBJ oldFont = SelectObject(target, view->bigFont);
        const UINT flags = DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX;
        if (view->small.empty()) {
          DrawTextW(target, view->big.c_str(), -1, &area, flags | DT_VCENTER);
        } else {
          RECT top = area;
          top.bottom = area.top + (area.bottom - area.top) * 3 / 5;
          // The header's counters are read whole (the time since the start is last): a line too
          // wide for the strip is drawn in the first smaller type it fits, rather than cut off.
          for (HFONT smaller : view->fitFonts) {
            SIZE extent{};
            if (smaller == nullptr ||
                !GetTextExtentPoint32W(target, view->big.c_str(),
                                       static_cast<int>(view->big.size()), &extent) ||
                extent.cx <= top.right - top.left)
              break;
            SelectObject(target, smaller);
          }
          DrawTextW(target, view->big.c_str(), -1, &top, flags | DT_VCENTER);
          SelectObject(target, view->smallFont);
          RECT bottom = area;
          bottom.top = top.bottom;
          DrawTextW(target, view->small.c_str(), -1, &bottom, flags | DT_VCENTER | DT_PATH_ELLIPSIS);
        }
        SelectObject(target, oldFont);
      }
      if (bitmap != nullptr) {
        BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
        SelectObject(memory, oldBitmap);
        DeleteObject(bitmap);
      }
      DeleteDC(memory);
      EndPaint(window, &paint);
      return 0;
    }
    default: break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterClasses(HINSTANCE instance, WNDPROC boardProc) {
  WNDCLASSW board{};
  if (!GetClassInfoW(instance, BOARD_CLASS, &board)) {
    board.lpfnWndProc = boardProc;
    board.hInstance = instance;
    board.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    board.hbrBackground = CreateSolidBrush(RGB(24, 26, 30));
    board.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(128));
    board.lpszClassName = BOARD_CLASS;
    if (!RegisterClassW(&board)) return false;
  }
  WNDCLASSW strip{};
  if (!GetClassInfoW(instance, STRIP_CLASS, &strip)) {
    strip.lpfnWndProc = StripProc;
    strip.hInstance = instance;
    strip.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    strip.lpszClassName = STRIP_CLASS;
    if (!RegisterClassW(&strip)) return false;
  }
  return RegisterTileClass(instance);
}

}  // namespace

HFONT MakeBoardFont(int pixels, bool bold, Language language) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  LOGFONTW font{};
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    font = metrics.lfMessageFont;
  } else {
    lstrcpynW(font.lfFaceName, L"Tahoma", LF_FACESIZE);
  }
  if (language == Language::Korean) {
    // The message font of a Western Windows has no Hangul. Malgun Gothic comes with Windows
    // Vista and later; where it is missing, the font mapper takes a face that has the character
    // set.
    lstrcpynW(font.lfFaceName, L"Malgun Gothic", LF_FACESIZE);
    font.lfCharSet = HANGUL_CHARSET;
  }
  font.lfHeight = -pixels;
  font.lfWidth = 0;
  font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
  font.lfQuality = ANTIALIASED_QUALITY;
  return CreateFontIndirectW(&font);
}

BoardWindow::BoardWindow(station::StationRunner& runner, BoardSetup setup)
    : runner_(runner),
      counts_([&runner] { return runner.Counts(); }),
      setup_(std::move(setup)),
      model_(setup_.station.settings.ports, setup_.language),
      texts_(model_.texts()),
      headerView_(std::make_unique<StripView>()),
      bannerView_(std::make_unique<StripView>()),
      engineEnded_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

BoardWindow::~BoardWindow() {
  for (HFONT font : {tileFonts_.state, tileFonts_.small, headerFont_, smallFont_, mediumFont_,
                     narrowFont_})
    if (font != nullptr) DeleteObject(font);
}

bool BoardWindow::Create(HINSTANCE instance, int show) {
  if (!RegisterClasses(instance, Proc)) return false;
  window_ = CreateWindowExW(0, BOARD_CLASS, Wide(texts_(Text::BoardCaption)).c_str(),
                            WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                            1280, 760, nullptr, nullptr, instance, this);
  if (window_ == nullptr) return false;
  dpi_ = WindowDpi(window_);
  header_ = CreateWindowExW(0, STRIP_CLASS, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(HEADER_ID)), instance,
                            headerView_.get());
  banner_ = CreateWindowExW(0, STRIP_CLASS, L"", WS_CHILD, 0, 0, 0, 0, window_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(BANNER_ID)), instance,
                            bannerView_.get());
  stop_ =
      CreateWindowExW(0, L"BUTTON", Wide(texts_(Text::StopButton)).c_str(),
                      WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 0, 0, 0, 0, window_,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(STOP_ID)), instance, nullptr);
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_,
                             nullptr, instance, nullptr);
  if (tooltip_ != nullptr) SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, 600);
  face_.SetWindow(window_);
  SetTimer(window_, REFRESH_TIMER, REFRESH_INTERVAL_MS, nullptr);
  Refresh();
  Layout();
  ShowWindow(window_, show);
  UpdateWindow(window_);
  return true;
}

bool BoardWindow::StartEngine() {
  engine_ = CreateThread(nullptr, 0, EngineThread, this, 0, nullptr);
  if (engine_ == nullptr) return false;
  return true;
}

DWORD WINAPI BoardWindow::EngineThread(LPVOID self) {
  auto* board = static_cast<BoardWindow*>(self);
  board->RunEngine();
  SetEvent(board->engineEnded_);
  return 0;
}

int BoardWindow::RunEngine() {
  using Step = station::StationRunner::Step;
  const station::StationSetup& setup = setup_.station;
  if (!setup_.prepared) {
    uint32_t lastPercent = 101;
    Step step = runner_.PinImage(setup.imagePath, [&](uint64_t done, uint64_t size) {
      const uint32_t percent = size == 0 ? 100 : static_cast<uint32_t>(done * 100 / size);
      if (percent != lastPercent) PostMessageW(window_, WM_BOARD_PREPARE, 0, percent);
      lastPercent = percent;
    });
    if (step == Step::Done) step = runner_.CheckSha256(setup.sha256);
    // The database before the log, so that a station refused for it leaves no new log behind.
    if (step == Step::Done) step = runner_.OpenFleet(setup.database);
    if (step == Step::Done) step = runner_.OpenLog(setup.logPath);
    if (step != Step::Done) {
      refusal_ = step == Step::Stopped ? std::string() : runner_.text();
      PostMessageW(window_, WM_BOARD_PREPARE, 2, step == Step::Stopped ? EXIT_CANCELLED : EXIT_USAGE);
      return EXIT_USAGE;
    }
  }
  runner_.SetName(setup.name);
  PostMessageW(window_, WM_BOARD_PREPARE, 1, 0);
  return runner_.Run(setup.settings, setup.limits, face_);
}

LRESULT CALLBACK BoardWindow::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* board = static_cast<BoardWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(board));
    board->window_ = window;
  }
  auto* board = reinterpret_cast<BoardWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (board == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  return board->Handle(message, wParam, lParam);
}

LRESULT BoardWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_BOARD_EVENTS:
      // Taken now so the model is current; drawn at the next tick of the timer.
      for (const BoardEvent& event : face_.Take()) Apply(event);
      return 0;
    case WM_TIMER:
      if (wParam == REFRESH_TIMER) Refresh();
      return 0;
    case WM_BOARD_PREPARE:
      if (wParam == 0) {
        preparing_ = Wide(texts_(Text::HeaderReading, {std::to_string(lParam)}));
      } else if (wParam == 1) {
        preparing_.clear();
        const station::StationImage& image = runner_.image();
        const size_t slash = image.path.find_last_of("\\/");
        const std::string log = setup_.station.logPath.empty()
                                    ? texts_(Text::HeaderNoLog)
                                    : FullPathUtf8(Wide(setup_.station.logPath));
        imageLine_ = Wide(image.path.substr(slash == std::string::npos ? 0 : slash + 1)) +
                     L" | SHA-256 " + Wide(image.sha256.substr(0, 12)) + L" | " +
                     Wide(texts_(Text::HeaderLog, {log}));
        if (!setup_.station.database.empty()) {
          // What the start found about the database: on the banner, the station goes on.
          model_.DatabaseNote(station::DatabasePasswordWarning(setup_.station.database), true);
          model_.DatabaseNote(runner_.note(), false);
          if (!model_.database()) model_.Database({});
          UpdateBanner();
        }
      } else {
        exitStatus_ = static_cast<int>(lParam);
        if (!refusal_.empty()) {
          MessageBoxW(window_, Wide(refusal_).c_str(), BOX_CAPTION, MB_OK | MB_ICONSTOP);
        }
        DestroyWindow(window_);
        return 0;
      }
      Refresh();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == STOP_ID) RequestStop();
      return 0;
    case WM_CLOSE:
      if (model_.finished() || engine_ == nullptr) {
        DestroyWindow(window_);
      } else {
        RequestStop();
      }
      return 0;
    case WM_QUERYENDSESSION: return TRUE;  // the records are finished on WM_ENDSESSION
    case WM_ENDSESSION:
      if (wParam != FALSE && engine_ != nullptr) {
        // Windows ends the process once this returns: not before the records are written.
        runner_.Stop();
        WaitForSingleObject(engineEnded_, 4000);
      }
      return 0;
    case WM_SIZE: Layout(); return 0;
    case 0x02E0: {  // WM_DPICHANGED: the window moved to a monitor of another DPI
      dpi_ = HIWORD(wParam);
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window_, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      Layout();
      return 0;
    }
    case WM_DESTROY:
      KillTimer(window_, REFRESH_TIMER);
      face_.SetWindow(nullptr);
      PostQuitMessage(exitStatus_);
      return 0;
    default: break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void BoardWindow::Apply(const BoardEvent& event) {
  switch (event.kind) {
    case BoardEvent::Arrived: model_.Arrived(event.unit); break;
    case BoardEvent::Waiting: model_.Waiting(event.unit.number); break;
    case BoardEvent::Started: model_.Started(event.unit.number, event.tick); break;
    case BoardEvent::Progress:
      model_.Progress(event.unit.number, event.phase, event.bytesSent, event.imageSize);
      break;
    case BoardEvent::Ended:
      model_.Ended(event.unit.number, event.record, event.written);
      break;
    case BoardEvent::Box: break;  // the record's message says it; the tooltip shows it
    case BoardEvent::Departed: model_.Departed(event.unit.number); break;
    case BoardEvent::NotStarted: model_.NotStarted(event.unit.number); break;
    case BoardEvent::LogFailed:
      model_.LogFailed();
      UpdateBanner();
      break;
    case BoardEvent::Database:
      model_.Database(event.database);
      UpdateBanner();  // the start's note goes once the database is up to date
      break;
    case BoardEvent::DatabaseAlarm:
      model_.DatabaseAlarm(event.text);
      UpdateBanner();
      break;
    case BoardEvent::Finished:
      model_.Finished(event.exitStatus, event.counts);
      exitStatus_ = event.exitStatus;
      EnableWindow(stop_, FALSE);
      UpdateBanner();
      if (closeWhenFinished_) DestroyWindow(window_);
      break;
  }
}

void BoardWindow::RequestStop() {
  if (stopping_ || model_.finished()) {
    if (model_.finished()) DestroyWindow(window_);
    return;
  }
  // The engine's count: the units being opened (also those whose pipes are tried again),
  // flashed or recorded, every one of which ends with a record.
  const int32_t flashing = counts_().flashing;
  if (flashing > 0) {
    const std::wstring question =
        Wide(texts_(flashing == 1 ? Text::StopQuestionOne : Text::StopQuestionMany,
                    {std::to_string(flashing)}));
    if (MessageBoxW(window_, question.c_str(), BOX_CAPTION,
                    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
      return;
  }
  stopping_ = true;
  closeWhenFinished_ = true;
  EnableWindow(stop_, FALSE);
  UpdateBanner();
  if (engine_ == nullptr) {
    DestroyWindow(window_);
    return;
  }
  runner_.Stop();
}

void BoardWindow::UpdateBanner() {
  std::wstring text;
  COLORREF background = RGB(205, 35, 35);
  const std::string status = std::to_string(model_.exitStatus());
  if (model_.logFailed()) {
    text = Wide(texts_(Text::BannerLogFailed));
  } else if (!model_.databaseAlarm().empty()) {
    text = Wide(model_.DatabaseAlarmText(model_.databaseAlarm()));
  } else if (model_.finished()) {
    text = Wide(texts_(Text::BannerEnded, {status}));
    background = RGB(90, 90, 90);
  } else if (stopping_) {
    text = Wide(texts_(Text::BannerStopping));
    background = RGB(90, 90, 90);
  } else if (const std::string notes = model_.DatabaseNotes(); !notes.empty()) {
    text = Wide(model_.DatabaseNoteText(notes));
    background = RGB(176, 112, 0);  // amber: the station goes on
  }
  if (model_.logFailed() && model_.finished())
    text += Wide(texts_(Text::BannerAlsoEnded, {status}));
  const bool wasShown = IsWindowVisible(banner_) != FALSE;
  bannerView_->big = text;
  bannerView_->background = background;
  SetWindowTextW(banner_, text.c_str());
  ShowWindow(banner_, text.empty() ? SW_HIDE : SW_SHOW);
  InvalidateRect(banner_, nullptr, FALSE);
  if (wasShown != !text.empty()) Layout();
}

void BoardWindow::UpdateHeader(uint32_t now) {
  std::wstring big =
      Wide(model_.CountersText(model_.finished() ? model_.finalCounts() : counts_()));
  if (!preparing_.empty()) big = preparing_;
  // With a database, its state comes first on the small line (the log's path may be cut short).
  const std::wstring small =
      model_.database() ? Wide(model_.DatabaseText(*model_.database())) + L" | " + imageLine_
                        : imageLine_;
  const std::wstring text = big + L" | " + small;
  if (headerView_->big == big && headerView_->small == small) return;
  // Counters that move with every unit are told at most twice a second.
  if (now - headerAt_ < HEADER_INTERVAL_MS && headerView_->small == small) return;
  headerAt_ = now;
  headerView_->big = big;
  headerView_->small = small;
  SetWindowTextW(header_, text.c_str());
  InvalidateRect(header_, nullptr, FALSE);
}

void BoardWindow::Refresh() {
  for (const BoardEvent& event : face_.Take()) Apply(event);
  if (window_ == nullptr || !IsWindow(window_)) return;
  const uint32_t now = GetTickCount();
  const std::vector<const Tile*> tiles = model_.Tiles();
  if (tiles.size() != slots_.size()) {
    // A port had its first unit: one more tile, and the tiles find their new places.
    while (slots_.size() < tiles.size()) {
      auto slot = std::make_unique<TileSlot>();
      slot->fonts = &tileFonts_;
      HWND tile = CreateTile(window_, TILE_ID_BASE + static_cast<int>(slots_.size()), slot.get());
      if (tooltip_ != nullptr && tile != nullptr) {
        TOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = window_;
        tool.uId = reinterpret_cast<UINT_PTR>(tile);
        tool.lpszText = const_cast<wchar_t*>(L"");
        SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
      }
      slots_.push_back(std::move(slot));
      tiles_.push_back(tile);
      labels_.emplace_back();
    }
    Layout();
  }
  for (size_t i = 0; i < tiles.size(); ++i) {
    const Tile& tile = *tiles[i];
    TileSlot& slot = *slots_[i];
    TileLabel& label = labels_[i];
    // Nothing to do for a tile that nothing touched since, unless its unit's time has moved on
    // a second or a throttled change is still to be shown.
    const bool running = tile.state == TileState::Opening || tile.state == TileState::Flashing ||
                         tile.state == TileState::Verifying;
    if (label.port == tile.port && label.changes == tile.changes && label.settled &&
        (!running || now / 1000 == label.second))
      continue;
    const bool sameTile = label.port == tile.port;
    label.port = tile.port;
    label.changes = tile.changes;
    label.second = now / 1000;
    label.settled = true;
    TileView view = ViewOf(model_, tile, now);
    // A flashing unit's bar moves at most PROGRESS_REPAINT_MS apart; any other change at once.
    const bool progressOnly = sameTile && view.percent >= 0 && slot.view.percent >= 0 &&
                              view.colour == slot.view.colour && view.serial == slot.view.serial;
    if (!(view == slot.view)) {
      if (!progressOnly || now - slot.paintedAt >= PROGRESS_REPAINT_MS) {
        // Only the parts that changed are drawn again (a moving bar: the state and the bar).
        RECT client;
        GetClientRect(tiles_[i], &client);
        const RECT area = TileChangedArea(client, slot.view, view, tileFonts_);
        slot.view = std::move(view);
        slot.paintedAt = now;
        InvalidateRect(tiles_[i], &area, FALSE);
      } else {
        label.settled = false;  // shown at a later refresh
      }
    }
    // The window text follows every change of state at once, a flashing unit's percentage at
    // most once a second.
    std::wstring text = Wide(model_.TileText(tile));
    if (text != label.text) {
      const bool percentOnly = sameTile && tile.state == TileState::Flashing &&
                               label.state == TileState::Flashing;
      if (!percentOnly || now - label.at >= TEXT_PROGRESS_INTERVAL_MS) {
        SetWindowTextW(tiles_[i], text.c_str());
        label.text = std::move(text);
        label.state = tile.state;
        label.at = now;
      } else {
        label.settled = false;
      }
    }
    // The tooltip: the full location, and what the last unit's box said.
    std::wstring tip = Wide(model_.PortName(tile));
    if (!tile.message.empty()) tip += L"\r\n" + Wide(tile.message);
    if (tooltip_ != nullptr && tip != label.tip) {
      TOOLINFOW tool{};
      tool.cbSize = sizeof tool;
      tool.hwnd = window_;
      tool.uId = reinterpret_cast<UINT_PTR>(tiles_[i]);
      tool.lpszText = tip.data();
      SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
      label.tip = std::move(tip);
    }
  }
  UpdateHeader(now);
}

void BoardWindow::MakeFonts(int tileHeight) {
  for (HFONT* font : {&tileFonts_.state, &tileFonts_.small, &headerFont_, &smallFont_,
                      &mediumFont_, &narrowFont_}) {
    if (*font != nullptr) DeleteObject(*font);
  }
  // Large enough to read from across the room, never below what a screen shows readably.
  const int state = std::clamp(tileHeight * 26 / 100, Scale(13, dpi_), Scale(40, dpi_));
  const int small = std::clamp(tileHeight * 16 / 100, Scale(11, dpi_), Scale(20, dpi_));
  tileFonts_.state = MakeBoardFont(state, true, setup_.language);
  tileFonts_.small = MakeBoardFont(small, false, setup_.language);
  if (HDC screen = GetDC(window_)) {
    HGDIOBJ old = SelectObject(screen, tileFonts_.small);
    TEXTMETRICW metrics{};
    if (GetTextMetricsW(screen, &metrics)) tileFonts_.smallHeight = metrics.tmHeight;
    SelectObject(screen, old);
    ReleaseDC(window_, screen);
  }
  tileFonts_.padding = std::max(Scale(4, dpi_), tileHeight / 16);
  headerFont_ = MakeBoardFont(Scale(24, dpi_), true, setup_.language);
  smallFont_ = MakeBoardFont(Scale(14, dpi_), false, setup_.language);
  headerView_->bigFont = bannerView_->bigFont = headerFont_;
  headerView_->smallFont = bannerView_->smallFont = smallFont_;
  mediumFont_ = MakeBoardFont(Scale(20, dpi_), true, setup_.language);
  narrowFont_ = MakeBoardFont(Scale(16, dpi_), true, setup_.language);
  headerView_->fitFonts[0] = mediumFont_;
  headerView_->fitFonts[1] = narrowFont_;
  SendMessageW(stop_, WM_SETFONT, reinterpret_cast<WPARAM>(headerFont_), TRUE);
}

void BoardWindow::Layout() {
  if (window_ == nullptr) return;
  RECT client;
  GetClientRect(window_, &client);
  const int margin = Scale(MARGIN, dpi_), gap = Scale(GAP, dpi_);
  const int headerHeight = Scale(HEADER_HEIGHT, dpi_);
  const int stopWidth = Scale(STOP_WIDTH, dpi_);
  int top = margin;
  const int width = client.right - 2 * margin;
  // The grid: as many columns as give the largest tiles of about 2:1 for this many tiles.
  const int count = static_cast<int>(tiles_.size());
  const bool banner = IsWindowVisible(banner_) != FALSE;
  const int gridTop = top + headerHeight + gap + (banner ? Scale(BANNER_HEIGHT, dpi_) + gap : 0);
  const int gridHeight = client.bottom - gridTop - margin;
  // Each column count gives tiles of some size (capped, and no taller than wide); the largest
  // area wins, and of those within 5 % of it the one with most columns, which uses a wide
  // screen's width rather than leave it empty.
  const int maxWidth = Scale(TILE_MAX_WIDTH, dpi_), maxHeight = Scale(TILE_MAX_HEIGHT, dpi_);
  const int tiles = std::max(count, 1);
  std::vector<std::pair<int, int>> sizes(tiles + 1);
  long long bestArea = 0;
  for (int columns = 1; columns <= tiles; ++columns) {
    const int rows = (tiles + columns - 1) / columns;
    const int w = std::clamp((width - (columns - 1) * gap) / columns, 1, maxWidth);
    const int h = std::clamp((gridHeight - (rows - 1) * gap) / rows, 1,
                             std::min(maxHeight, w * 3 / 5 + 1));
    sizes[columns] = {w, h};
    bestArea = std::max(bestArea, static_cast<long long>(w) * h);
  }
  int bestColumns = 1;
  for (int columns = 1; columns <= tiles; ++columns) {
    if (static_cast<long long>(sizes[columns].first) * sizes[columns].second * 100 >= bestArea * 95)
      bestColumns = columns;
  }
  const int tileWidth = sizes[bestColumns].first, tileHeight = sizes[bestColumns].second;
  MakeFonts(tileHeight);

  MoveWindow(header_, margin, top, width - stopWidth - gap, headerHeight, TRUE);
  MoveWindow(stop_, client.right - margin - stopWidth, top, stopWidth, headerHeight, TRUE);
  top += headerHeight + gap;
  if (banner) {
    MoveWindow(banner_, margin, top, width, Scale(BANNER_HEIGHT, dpi_), TRUE);
  }
  for (int i = 0; i < count; ++i) {
    const int row = i / bestColumns, column = i % bestColumns;
    MoveWindow(tiles_[i], margin + column * (tileWidth + gap), gridTop + row * (tileHeight + gap),
               tileWidth, tileHeight, TRUE);
    InvalidateRect(tiles_[i], nullptr, FALSE);
  }
  InvalidateRect(header_, nullptr, FALSE);
  InvalidateRect(window_, nullptr, TRUE);
}

}  // namespace pelorin::board
