#include "tile_control_win32.h"

#include <algorithm>
#include <vector>

namespace pelorin::board {
namespace {

struct Palette {
  COLORREF background, text;
};

Palette PaletteOf(TileColour colour) {
  switch (colour) {
    case TileColour::Grey: return {RGB(205, 205, 205), RGB(40, 40, 40)};
    case TileColour::Blue: return {RGB(30, 100, 200), RGB(255, 255, 255)};
    case TileColour::Amber: return {RGB(245, 170, 20), RGB(20, 20, 20)};
    case TileColour::Green: return {RGB(30, 150, 70), RGB(255, 255, 255)};
    case TileColour::Red: return {RGB(205, 35, 35), RGB(255, 255, 255)};
  }
  return {RGB(205, 205, 205), RGB(40, 40, 40)};
}

void Fill(HDC dc, const RECT& rect, COLORREF colour) {
  SetBkColor(dc, colour);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rect, nullptr, 0, nullptr);
}

// The tile less its padding (and its warning band).
RECT Inner(const RECT& client, const TileView& view, const TileFonts& fonts) {
  const int pad = fonts.padding;
  RECT inner = {client.left + pad, client.top + pad / 2, client.right - pad,
                client.bottom - pad / 2};
  if (view.checkPort) InflateRect(&inner, -pad / 2, -pad / 2);
  return inner;
}

int WidthOf(HDC dc, const std::wstring& text) {
  SIZE extent{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  return extent.cx;
}

// `parts` in lines of at most `width`, each part starting a line, broken between words only. A
// word wider than a line has one of its own (cut short when drawn).
std::vector<std::wstring> WrapAtSpaces(HDC dc, const std::vector<std::wstring>& parts, int width) {
  std::vector<std::wstring> lines;
  for (const std::wstring& part : parts) {
    std::wstring line;
    for (size_t at = 0; at <= part.size();) {
      size_t space = part.find(L' ', at);
      if (space == std::wstring::npos) space = part.size();
      const std::wstring word = part.substr(at, space - at);
      const std::wstring longer = line.empty() ? word : line + L' ' + word;
      if (!line.empty() && WidthOf(dc, longer) > width) {
        lines.push_back(line);
        line = word;
      } else {
        line = longer;
      }
      at = space + 1;
    }
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// A state too wide for one line, in lines of at most `width`, broken between words only: Korean
// broken inside a word ("유닛" over "을 뽑으세요") reads wrongly. After its dash ("이미 검증됨 –"
// over "유닛을 뽑으세요") where that takes no more lines.
std::vector<std::wstring> LinesOf(HDC dc, const std::wstring& state, int width) {
  const std::wstring dash = L" \u2013 ";
  const size_t at = state.find(dash);
  std::vector<std::wstring> lines = WrapAtSpaces(dc, {state}, width);
  if (at == std::wstring::npos) return lines;
  std::vector<std::wstring> atDash =
      WrapAtSpaces(dc, {state.substr(0, at) + L" \u2013", state.substr(at + dash.size())}, width);
  return atDash.size() <= lines.size() ? atDash : lines;
}

void Paint(HDC dc, const RECT& client, const TileView& view, const TileFonts& fonts) {
  const Palette palette = PaletteOf(view.colour);
  Fill(dc, client, palette.background);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, palette.text);
  const int pad = fonts.padding;
  const RECT inner = Inner(client, view, fonts);
  if (view.checkPort) {
    // A band the colour of a warning sign around the tile.
    const int band = pad;
    HBRUSH warning = CreateSolidBrush(RGB(255, 215, 0));
    RECT edges[4] = {{client.left, client.top, client.right, client.top + band},
                     {client.left, client.bottom - band, client.right, client.bottom},
                     {client.left, client.top, client.left + band, client.bottom},
                     {client.right - band, client.top, client.right, client.bottom}};
    for (const RECT& edge : edges) FillRect(dc, &edge, warning);
    DeleteObject(warning);
  }

  HGDIOBJ old = SelectObject(dc, fonts.small);
  const int line = fonts.smallHeight;
  // Top: the port, and its time (or the warning) on the right. A line outside what is being
  // drawn again is not laid out at all (a moving bar redraws only the middle).
  RECT top = {inner.left, inner.top, inner.right, inner.top + line};
  if (RectVisible(dc, &top)) {
    DrawTextW(dc, view.port.c_str(), -1, &top,
              DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
    const std::wstring& right = view.checkPort ? view.mark : view.time;
    DrawTextW(dc, right.c_str(), -1, &top, DT_RIGHT | DT_SINGLELINE | DT_NOPREFIX);
  }
  // Bottom: the serial and the port's tally.
  RECT bottom = {inner.left, inner.bottom - line, inner.right, inner.bottom};
  if (RectVisible(dc, &bottom)) {
    DrawTextW(dc, view.tally.c_str(), -1, &bottom, DT_RIGHT | DT_SINGLELINE | DT_NOPREFIX);
    DrawTextW(dc, view.serial.c_str(), -1, &bottom,
              DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
  }

  // Middle: the state in large type, with the bar under it while the unit is flashed.
  RECT middle = {inner.left, top.bottom, inner.right, bottom.top};
  if (view.percent >= 0) {
    const int barHeight = (std::max)(3, line / 3);
    RECT bar = {inner.left, middle.bottom - barHeight - 2, inner.right, middle.bottom - 2};
    Fill(dc, bar, RGB(15, 50, 110));
    RECT done = bar;
    done.right = bar.left + (bar.right - bar.left) * (view.percent > 100 ? 100 : view.percent) / 100;
    Fill(dc, done, RGB(255, 255, 255));
    middle.bottom = bar.top;
  }
  SelectObject(dc, fonts.state);
  SIZE extent{};
  const int length = static_cast<int>(view.state.size());
  if (GetTextExtentPoint32W(dc, view.state.c_str(), length, &extent) &&
      extent.cx <= middle.right - middle.left) {
    // One line (most states): centred in one call.
    DrawTextW(dc, view.state.c_str(), length, &middle,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  } else {
    const std::vector<std::wstring> lines = LinesOf(dc, view.state, middle.right - middle.left);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    const int lineHeight = metrics.tmHeight > 0 ? metrics.tmHeight : extent.cy;
    const int height = lineHeight * static_cast<int>(lines.size());
    int top = middle.top +
              (height < middle.bottom - middle.top ? (middle.bottom - middle.top - height) / 2 : 0);
    for (const std::wstring& line : lines) {
      if (top >= middle.bottom) break;
      RECT row = {middle.left, top, middle.right,
                  (std::min<LONG>)(top + lineHeight, middle.bottom)};
      DrawTextW(dc, line.c_str(), static_cast<int>(line.size()), &row,
                DT_CENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
      top += lineHeight;
    }
  }
  SelectObject(dc, old);
}

void ReleaseBuffer(TileSlot* slot) {
  if (slot->buffer != nullptr && slot->oldBitmap != nullptr) SelectObject(slot->buffer, slot->oldBitmap);
  if (slot->bitmap != nullptr) DeleteObject(slot->bitmap);
  if (slot->buffer != nullptr) DeleteDC(slot->buffer);
  slot->buffer = nullptr;
  slot->bitmap = nullptr;
  slot->oldBitmap = nullptr;
  slot->bufferSize = {0, 0};
}

LRESULT CALLBACK TileProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* slot = reinterpret_cast<TileSlot*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_NCCREATE: {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      break;
    }
    case WM_ERASEBKGND: return 1;  // the paint covers every pixel
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT client;
      GetClientRect(window, &client);
      const int width = client.right, height = client.bottom;
      if (slot != nullptr && slot->fonts != nullptr && width > 0 && height > 0) {
        // Drawn off screen, then copied in one go: no flicker. The buffer stays for the next
        // paint; a tile of another size gets a new one.
        if (slot->buffer == nullptr || slot->bufferSize.cx != width || slot->bufferSize.cy != height) {
          ReleaseBuffer(slot);
          slot->buffer = CreateCompatibleDC(dc);
          slot->bitmap = slot->buffer != nullptr ? CreateCompatibleBitmap(dc, width, height) : nullptr;
          if (slot->bitmap != nullptr) {
            slot->oldBitmap = SelectObject(slot->buffer, slot->bitmap);
            slot->bufferSize = {width, height};
          } else {
            ReleaseBuffer(slot);
          }
        }
        if (slot->buffer != nullptr) {
          // Only what was invalidated is drawn again (a moving bar: the state and the bar); the
          // rest of the buffer still holds the last paint.
          const RECT& area = paint.rcPaint;
          IntersectClipRect(slot->buffer, area.left, area.top, area.right, area.bottom);
          Paint(slot->buffer, client, slot->view, *slot->fonts);
          SelectClipRgn(slot->buffer, nullptr);
          BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top,
                 slot->buffer, area.left, area.top, SRCCOPY);
        } else {
          Paint(dc, client, slot->view, *slot->fonts);  // no memory for a buffer: directly
        }
      }
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      if (slot != nullptr) ReleaseBuffer(slot);
      break;
    default: break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

RECT TileChangedArea(const RECT& client, const TileView& before, const TileView& after,
                     const TileFonts& fonts) {
  if (before.colour != after.colour || before.checkPort != after.checkPort) return client;
  const RECT inner = Inner(client, after, fonts);
  const int line = fonts.smallHeight;
  RECT area{};
  const auto add = [&area](const RECT& part) { UnionRect(&area, &area, &part); };
  if (before.port != after.port || before.time != after.time || before.mark != after.mark)
    add({client.left, client.top, client.right, inner.top + line});
  if (before.state != after.state || before.percent != after.percent)
    add({client.left, inner.top + line, client.right, inner.bottom - line});
  if (before.serial != after.serial || before.tally != after.tally)
    add({client.left, inner.bottom - line, client.right, client.bottom});
  return area;
}

bool RegisterTileClass(HINSTANCE instance) {
  WNDCLASSW tileClass{};
  if (GetClassInfoW(instance, TILE_CLASS, &tileClass)) return true;
  tileClass.lpfnWndProc = TileProc;
  tileClass.hInstance = instance;
  tileClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  tileClass.lpszClassName = TILE_CLASS;
  return RegisterClassW(&tileClass) != 0;
}

HWND CreateTile(HWND parent, int id, TileSlot* slot) {
  return CreateWindowExW(0, TILE_CLASS, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE)),
                         slot);
}

}  // namespace pelorin::board
