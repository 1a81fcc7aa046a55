// The status window on Windows: a top-level Win32 window whose client area
// a GDI canvas (status/drawing.h) paints from a copy of the form's texts and
// trace, at the screen's resolution. The yield is a PeekMessage loop over
// the thread's queue.
#include "status/renderer_win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "status/drawing.h"
#include "status/renderer.h"

namespace kelda::status {

namespace {

// Raised when the system refuses the window (no desktop, no resources), as
// for any other resource that runs out.
constexpr int32_t kErrCannotCreateWindow = kErrOutOfMemory;

constexpr wchar_t kClassName[] = L"KeldaStatusWindow";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr double kPointsPerInch = 72.0;
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

// A text in UTF-16 for GDI, converted without allocating: painting runs
// inside the window procedure, which no exception may leave. The texts are
// a few dozen characters; a longer one is cut at a character's boundary.
class WideText {
 public:
  explicit WideText(std::string_view utf8) {
    // No UTF-8 sequence becomes more UTF-16 units than it has bytes.
    size_t bytes = std::min(utf8.size(), kCapacity);
    while (bytes > 0 && bytes < utf8.size() &&
           (static_cast<unsigned char>(utf8[bytes]) & 0xC0) == 0x80) {
      --bytes;
    }
    if (bytes > 0) {
      length_ = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(bytes), units_,
                                    static_cast<int>(kCapacity));
    }
  }

  const wchar_t* data() const { return units_; }
  int size() const { return length_; }

 private:
  static constexpr size_t kCapacity = 256;
  wchar_t units_[kCapacity];
  int length_ = 0;
};

class GdiFont {
 public:
  GdiFont(const Font& font, int dpi_y) : font_(font) {
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

  // The layout's font this one was made for.
  const Font& font() const { return font_; }
  HFONT get() const {
    return handle_ != nullptr ? handle_ : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }

 private:
  Font font_;
  HFONT handle_ = nullptr;
};

// The layout's two fonts, made with the window for its resolution.
struct GdiFonts {
  explicit GdiFonts(int dpi_y) : label(*kLabel1.font, dpi_y), box(kDefaultFont, dpi_y) {}

  // The system's GUI font for a font the layout does not use.
  HFONT For(const Font& font) const {
    if (font == label.font()) return label.get();
    if (font == box.font()) return box.get();
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }

  GdiFont label;
  GdiFont box;
};

// Draws onto a device context. Allocates nothing, so that it can run inside
// the window procedure.
class GdiCanvas final : public Canvas {
 public:
  GdiCanvas(HDC dc, const GdiFonts& fonts) : dc_(dc), fonts_(fonts) {}

  Colour Face() const override { return GetSysColor(COLOR_BTNFACE); }
  Colour Shadow() const override { return GetSysColor(COLOR_BTNSHADOW); }

  void Fill(const PixelRect& r, Colour colour) override {
    SetDCBrushColor(dc_, colour);
    const RECT rect = ToRect(r);
    FillRect(dc_, &rect, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
  }

  void Frame(const PixelRect& r, Colour colour) override {
    SetDCBrushColor(dc_, colour);
    const RECT rect = ToRect(r);
    FrameRect(dc_, &rect, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
  }

  // The system's own edge, in its colours and one pixel a ring at any
  // resolution.
  void SunkenEdge(const PixelRect& outer, int, int) override {
    RECT edge = ToRect(outer);
    DrawEdge(dc_, &edge, EDGE_SUNKEN, BF_RECT);
  }

  // LineTo leaves out the last pixel; SetPixelV adds it.
  void Line(PixelPoint from, PixelPoint to, Colour colour) override {
    SetDCPenColor(dc_, colour);
    SelectObject(dc_, GetStockObject(DC_PEN));
    MoveToEx(dc_, from.x, from.y, nullptr);
    LineTo(dc_, to.x, to.y);
    SetPixelV(dc_, to.x, to.y, colour);
  }

  void PushClip(const PixelRect& r) override {
    SaveDC(dc_);
    IntersectClipRect(dc_, r.left, r.top, r.right, r.bottom);
  }

  void PopClip() override { RestoreDC(dc_, -1); }

  void Text(const TextBox& box) override {
    const WideText text(box.text);
    const HGDIOBJ old_font = SelectObject(dc_, fonts_.For(box.font));
    SetTextColor(dc_, box.fore);
    if (box.back) {
      SetBkMode(dc_, OPAQUE);
      SetBkColor(dc_, *box.back);
    } else {
      SetBkMode(dc_, TRANSPARENT);
    }
    RECT rect = ToRect(box.bounds);
    DrawTextW(dc_, text.data(), text.size(), &rect, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc_, old_font);
  }

 private:
  HDC dc_;
  const GdiFonts& fonts_;
};

class Win32Renderer final : public Renderer {
 public:
  Win32Renderer() {
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
      shown_ = StatusContents::Of(form);
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

  // The high word names the kinds of message in the queue now; unlike
  // PeekMessage, asking dispatches no message sent from another thread.
  bool MessagesWaiting() override { return HIWORD(GetQueueStatus(QS_ALLINPUT)) != 0; }

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
    shown_ = StatusContents::Of(*form_);
    InvalidateRect(hwnd_, nullptr, FALSE);
  }

  void Create() {
    Class().Require();
    const PixelSize client = ClientPixels(Dpi());
    RECT frame{0, 0, client.width, client.height};
    AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
    const std::wstring caption = Wide(kCaption);
    fonts_.emplace(dpi_y_);
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

  Resolution Dpi() const { return {static_cast<double>(dpi_x_), static_cast<double>(dpi_y_)}; }

  void Paint(HDC dc) const {
    GdiCanvas canvas(dc, *fonts_);
    DrawStatusWindow(canvas, shown_, Dpi());
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
      Paint(memory);
      BitBlt(target, 0, 0, width, height, memory, 0, 0, SRCCOPY);
      SelectObject(memory, old);
      DeleteObject(bitmap);
    } else {
      Paint(target);
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
  StatusContents shown_;
  int dpi_x_ = 96;
  int dpi_y_ = 96;
  // Made with the window, for its resolution.
  std::optional<GdiFonts> fonts_;
};

}  // namespace

int32_t LiveStatusWindows() { return live_windows.load(); }

std::unique_ptr<Renderer> NewPlatformRenderer() { return std::make_unique<Win32Renderer>(); }

}  // namespace kelda::status
