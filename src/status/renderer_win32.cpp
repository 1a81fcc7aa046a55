// The status window on Windows: a top-level Win32 window painted with GDI
// from the design in status/layout.h and a copy of the form's texts and
// trace. Twips become pixels by the screen's resolution; the yield is a
// PeekMessage loop over the thread's queue.
#include "status/renderer_win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "status/pixel_geometry.h"
#include "status/renderer.h"

namespace kelda::status {

namespace {

// Raised when the system refuses the window (no desktop, no resources).
constexpr int32_t kErrCannotCreateWindow = 7;

constexpr wchar_t kClassName[] = L"KeldaStatusWindow";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr double kTwipsPerInch = 1440.0;
constexpr double kPointsPerInch = 72.0;
// The window's default font, which the text boxes use.
constexpr Font kDefaultFont{"MS Sans Serif", 8.25, 400};
// How often the window looks for changes made to its form outside a yield:
// the completion text a run sets as it returns, which the host's own message
// loop should bring to the screen.
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMilliseconds = 100;
// A yield handles what is queued, but a host that keeps posting to itself
// must not hold the training run in the loop for ever.
constexpr int kMaxMessagesPerYield = 1000;

// Process-wide: windows of every thread count, see LiveStatusWindows().
std::atomic<int32_t> live_windows{0};

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string out;
  if (n > 0) {
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), bytes, nullptr, nullptr);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) {
      out.pop_back();
    }
  }
  LocalFree(text);
  if (out.empty()) out = "system error " + std::to_string(code);
  return out;
}

[[noreturn]] void RaiseWindowError(const char* what) {
  const DWORD code = GetLastError();
  Raise(kErrCannotCreateWindow,
        std::string("Cannot ") + what + " the status window: " + SystemMessage(code) + ".");
}

// The window class, registered once per process on first use and
// unregistered when the module unloads: a class left behind would point at
// a window procedure that no longer exists.
class WindowClass {
 public:
  explicit WindowClass(WNDPROC procedure) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = procedure;
    wc.hInstance = ThisModule();
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = nullptr;  // every pixel is painted in WM_PAINT
    wc.lpszClassName = kClassName;
    registered_ = RegisterClassExW(&wc) != 0;
    error_ = registered_ ? ERROR_SUCCESS : GetLastError();
  }
  ~WindowClass() {
    if (registered_) UnregisterClassW(kClassName, ThisModule());
  }
  WindowClass(const WindowClass&) = delete;
  WindowClass& operator=(const WindowClass&) = delete;

  // Raises when registration failed.
  void Require() const {
    if (!registered_) {
      SetLastError(error_);
      RaiseWindowError("register");
    }
  }

 private:
  bool registered_ = false;
  DWORD error_ = ERROR_SUCCESS;
};

RECT ToRect(const PixelRect& r) { return RECT{r.left, r.top, r.right, r.bottom}; }

// What the window shows beyond its fixed design, copied from the form so
// that it can repaint after the form has changed or been replaced.
struct Contents {
  std::string ssq_caption;
  std::string cycle_caption;
  std::vector<Stroke> trace;
  std::wstring ssq_text;
  std::wstring cycle_text;

  static Contents Of(const frmStatus& form) {
    return {form.SSQBoxCaption(), form.CycleBoxCaption(), form.Trace(), Wide(form.SSQBoxCaption()),
            Wide(form.CycleBoxCaption())};
  }
  // Allocates nothing.
  bool Shows(const frmStatus& form) const {
    return ssq_caption == form.SSQBoxCaption() && cycle_caption == form.CycleBoxCaption() &&
           trace == form.Trace();
  }
};

class GdiFont {
 public:
  GdiFont(const Font& font, int dpi_y) {
    const std::wstring face = Wide(font.face);
    handle_ =
        CreateFontW(-static_cast<int>(std::lround(font.points * dpi_y / kPointsPerInch)), 0, 0, 0,
                    font.weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                    CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, face.c_str());
  }
  ~GdiFont() {
    if (handle_ != nullptr) DeleteObject(handle_);
  }
  GdiFont(const GdiFont&) = delete;
  GdiFont& operator=(const GdiFont&) = delete;

  HFONT get() const {
    return handle_ != nullptr ? handle_ : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }

 private:
  HFONT handle_ = nullptr;
};

// Paints the client area onto `dc` in the same order as the design creates
// its controls: window-level lines first (so Line1(18) ends up under
// picError), then picError with its grid, caption and trace, then the boxes.
class Painter {
 public:
  // Allocates nothing, so that it can run inside the window procedure.
  Painter(HDC dc, int dpi_x, int dpi_y, const std::wstring& label_caption,
          const GdiFont& label_font, const GdiFont& box_font)
      : dc_(dc),
        dpi_x_(dpi_x),
        dpi_y_(dpi_y),
        label_caption_(label_caption),
        label_font_(label_font),
        box_font_(box_font) {}

  void Paint(const Contents& contents) {
    const PixelRect client{0, 0, EdgeX(kClientWidth), EdgeY(kClientHeight)};
    Fill(client, GetSysColor(COLOR_BTNFACE));
    for (const LineLayout& line : kLine1) {
      if (line.container != Container::kWindow) continue;
      Line({PxX(line.x1), PxY(line.y1), PxX(line.x2), PxY(line.y2)}, client, line.colour);
    }
    PaintPlot(contents.trace);
    PaintBox(kSSQBox, contents.ssq_text);
    PaintBox(kCycleBox, contents.cycle_text);
  }

 private:
  double PxX(double twips) const { return twips * dpi_x_ / kTwipsPerInch; }
  double PxY(double twips) const { return twips * dpi_y_ / kTwipsPerInch; }
  int EdgeX(Twips twips) const { return static_cast<int>(std::lround(PxX(twips))); }
  int EdgeY(Twips twips) const { return static_cast<int>(std::lround(PxY(twips))); }
  PixelRect EdgesOf(const Rect& r) const {
    return {EdgeX(r.left), EdgeY(r.top), EdgeX(r.left + r.width), EdgeY(r.top + r.height)};
  }

  void Fill(const PixelRect& r, COLORREF colour) {
    if (r.right <= r.left || r.bottom <= r.top) return;
    SetDCBrushColor(dc_, colour);
    const RECT rect = ToRect(r);
    FillRect(dc_, &rect, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
  }

  // A one-pixel line with both ends drawn; a line whose ends fall into one
  // pixel is that pixel.
  void Line(Segment s, const PixelRect& clip, Colour colour) {
    const PixelRect bounds{clip.left - 2, clip.top - 2, clip.right + 2, clip.bottom + 2};
    const std::optional<Segment> cut = ClipTo(s, bounds);
    if (!cut) return;
    const int x1 = static_cast<int>(std::lround(cut->x1));
    const int y1 = static_cast<int>(std::lround(cut->y1));
    const int x2 = static_cast<int>(std::lround(cut->x2));
    const int y2 = static_cast<int>(std::lround(cut->y2));
    SetDCPenColor(dc_, colour);
    SelectObject(dc_, GetStockObject(DC_PEN));
    MoveToEx(dc_, x1, y1, nullptr);
    LineTo(dc_, x2, y2);
    SetPixelV(dc_, x2, y2, colour);
  }

  void PaintPlot(const std::vector<Stroke>& trace) {
    const PixelRect outer = EdgesOf(kPicError.bounds);
    Fill(outer, kPicError.back);
    RECT edge = ToRect(outer);
    DrawEdge(dc_, &edge, EDGE_SUNKEN, BF_RECT);

    const int border_x = EdgeX(kPicError.border);
    const int border_y = EdgeY(kPicError.border);
    const PixelRect inner{outer.left + border_x, outer.top + border_y, outer.right - border_x,
                          outer.bottom - border_y};
    const int saved = SaveDC(dc_);
    IntersectClipRect(dc_, inner.left, inner.top, inner.right, inner.bottom);
    for (const LineLayout& line : kLine1) {
      if (line.container != Container::kPlot) continue;
      Line({inner.left + PxX(line.x1), inner.top + PxY(line.y1), inner.left + PxX(line.x2),
            inner.top + PxY(line.y2)},
           inner, line.colour);
    }
    const PixelRect label = EdgesOf(kLabel1.bounds);
    Text({inner.left + label.left, inner.top + label.top, inner.left + label.right,
          inner.top + label.bottom},
         label_caption_, label_font_, kLabel1.fore, std::nullopt);
    const double unit_x = PxX(kPicError.twips_per_unit_x);
    const double unit_y = PxY(kPicError.twips_per_unit_y);
    for (const Stroke& s : trace) {
      Line({inner.left + s.from.x * unit_x, inner.top + s.from.y * unit_y,
            inner.left + s.to.x * unit_x, inner.top + s.to.y * unit_y},
           inner, s.colour);
    }
    RestoreDC(dc_, saved);
  }

  void PaintBox(const TextLayout& box, const std::wstring& caption) {
    const PixelRect r = EdgesOf(box.bounds);
    Fill(r, box.back.value_or(GetSysColor(COLOR_BTNFACE)));
    PixelRect text = r;
    if (box.border) {
      const RECT frame = ToRect(r);
      FrameRect(dc_, &frame, GetSysColorBrush(COLOR_BTNSHADOW));
      text = {r.left + 1, r.top + 1, r.right - 1, r.bottom - 1};
    }
    Text(text, caption, box_font_, box.fore, box.back);
  }

  // Left-aligned at the top of `r` and clipped by it, as a static text is.
  void Text(const PixelRect& r, const std::wstring& text, const GdiFont& font, Colour fore,
            std::optional<Colour> back) {
    if (text.empty()) return;
    const HGDIOBJ old_font = SelectObject(dc_, font.get());
    SetTextColor(dc_, fore);
    if (back) {
      SetBkMode(dc_, OPAQUE);
      SetBkColor(dc_, *back);
    } else {
      SetBkMode(dc_, TRANSPARENT);
    }
    RECT rect = ToRect(r);
    DrawTextW(dc_, text.c_str(), static_cast<int>(text.size()), &rect,
              DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc_, old_font);
  }

  HDC dc_;
  int dpi_x_;
  int dpi_y_;
  const std::wstring& label_caption_;
  const GdiFont& label_font_;
  const GdiFont& box_font_;
};

class Win32Renderer final : public Renderer {
 public:
  Win32Renderer() : label_caption_(Wide(kLabel1.design_caption)) {
    const HDC screen = GetDC(nullptr);
    if (screen != nullptr) {
      dpi_x_ = GetDeviceCaps(screen, LOGPIXELSX);
      dpi_y_ = GetDeviceCaps(screen, LOGPIXELSY);
      ReleaseDC(nullptr, screen);
    }
    if (dpi_x_ <= 0) dpi_x_ = 96;
    if (dpi_y_ <= 0) dpi_y_ = 96;
  }

  ~Win32Renderer() override {
    if (hwnd_ == nullptr) return;
    // Not a close by the user: the window procedure must not report one.
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }

  void Present(const frmStatus& form) override {
    if (hwnd_ == nullptr) {
      if (!form.Visible()) return;
      form_ = &form;
      shown_ = Contents::Of(form);
      Create();
      return;
    }
    form_ = &form;
    TakeOver();
    const bool on_screen = IsWindowVisible(hwnd_) != FALSE;
    if (form.Visible() != on_screen) {
      ShowWindow(hwnd_, form.Visible() ? SW_SHOWNORMAL : SW_HIDE);
      if (form.Visible()) UpdateWindow(hwnd_);
    }
  }

  void PumpOnce() override {
    MSG msg;
    for (int i = 0; i < kMaxMessagesPerYield && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
      if (msg.message == WM_QUIT) {
        // The host's own loop must still see it and end.
        PostQuitMessage(static_cast<int>(msg.wParam));
        return;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  bool ConsumeUserClose() override {
    const bool closed = close_pending_;
    close_pending_ = false;
    return closed;
  }

  bool OnScreen() const override { return hwnd_ != nullptr && IsWindowVisible(hwnd_) != FALSE; }

  void WaitForUserClose() override {
    while (hwnd_ != nullptr) {
      MSG msg;
      const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
      if (got == 0) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        return;
      }
      if (got < 0) return;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

 private:
  static const WindowClass& Class() {
    static const WindowClass window_class(&Win32Renderer::WindowProcedure);
    return window_class;
  }

  // Puts the form's current contents on screen at the next repaint.
  void TakeOver() {
    if (form_ == nullptr || shown_.Shows(*form_)) return;
    shown_ = Contents::Of(*form_);
    InvalidateRect(hwnd_, nullptr, FALSE);
  }

  void Create() {
    Class().Require();
    RECT frame{0, 0, static_cast<LONG>(std::lround(kClientWidth * dpi_x_ / kTwipsPerInch)),
               static_cast<LONG>(std::lround(kClientHeight * dpi_y_ / kTwipsPerInch))};
    AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
    const std::wstring caption = Wide(kCaption);
    label_font_.emplace(*kLabel1.font, dpi_y_);
    box_font_.emplace(kDefaultFont, dpi_y_);
    // No owner: the window stands on its own beside the host's windows.
    const HWND hwnd = CreateWindowExW(
        0, kClassName, caption.c_str(), kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
        frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, ThisModule(), this);
    if (hwnd == nullptr) RaiseWindowError("create");
    hwnd_ = hwnd;
    SetTimer(hwnd_, kRefreshTimer, kRefreshMilliseconds, nullptr);
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    UpdateWindow(hwnd_);
  }

  void OnPaint() {
    PAINTSTRUCT ps;
    const HDC target = BeginPaint(hwnd_, &ps);
    if (target == nullptr) return;
    RECT client;
    GetClientRect(hwnd_, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    // Drawn off screen first, so that a repaint during training never
    // flickers through the black plot.
    const HDC memory = CreateCompatibleDC(target);
    const HBITMAP bitmap =
        memory != nullptr ? CreateCompatibleBitmap(target, width, height) : nullptr;
    if (bitmap != nullptr) {
      const HGDIOBJ old = SelectObject(memory, bitmap);
      Painter(memory, dpi_x_, dpi_y_, label_caption_, *label_font_, *box_font_).Paint(shown_);
      BitBlt(target, 0, 0, width, height, memory, 0, 0, SRCCOPY);
      SelectObject(memory, old);
      DeleteObject(bitmap);
    } else {
      Painter(target, dpi_x_, dpi_y_, label_caption_, *label_font_, *box_font_).Paint(shown_);
    }
    if (memory != nullptr) DeleteDC(memory);
    EndPaint(hwnd_, &ps);
  }

  static LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      live_windows.fetch_add(1);
    }
    if (message == WM_NCDESTROY) live_windows.fetch_sub(1);
    auto* self = reinterpret_cast<Win32Renderer*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(hwnd, message, wparam, lparam);
    switch (message) {
      case WM_ERASEBKGND:
        return 1;  // WM_PAINT covers every pixel
      case WM_PAINT:
        self->OnPaint();
        return 0;
      case WM_TIMER:
        if (wparam != kRefreshTimer) break;
        try {
          self->TakeOver();
        } catch (const std::bad_alloc&) {
          // Short of memory for the copy: the next tick tries again.
        }
        return 0;
      case WM_DESTROY:
        // The user closed it (the renderer's own DestroyWindow detaches
        // first): the form is discarded at the next look.
        self->hwnd_ = nullptr;
        self->form_ = nullptr;
        self->close_pending_ = true;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        return 0;
      default:
        break;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }

  HWND hwnd_ = nullptr;
  bool close_pending_ = false;
  // The form presented last. The status window replaces a form in place, so
  // the address stays valid while this renderer lives.
  const frmStatus* form_ = nullptr;
  Contents shown_;
  int dpi_x_ = 96;
  int dpi_y_ = 96;
  std::wstring label_caption_;
  // Made with the window, for its resolution.
  std::optional<GdiFont> label_font_;
  std::optional<GdiFont> box_font_;
};

}  // namespace

int32_t LiveStatusWindows() { return live_windows.load(); }

std::unique_ptr<Renderer> NewPlatformRenderer() { return std::make_unique<Win32Renderer>(); }

}  // namespace kelda::status
