// The status window on Linux desktops: a GTK 3 top-level window holding one
// drawing area, which the Cairo canvas fills from the contents presented
// last. Part of the window module (see status/window_module.h).
#include <gtk/gtk.h>

#include <string>
#include <thread>
#include <utility>

#include "status/painter.h"
#include "status/renderer.h"
#include "status/window_parts.h"

namespace kelda::status {

namespace {

// GTK is set up once per process and from then on belongs to the thread
// that set it up.
struct GtkProcess {
  bool ready;
  std::thread::id thread;
};

const GtkProcess& InitialiseGtkOnce() {
  static const GtkProcess process = [] {
    // The status texts take their separators from the locale the host chose;
    // a library has no business switching it.
    gtk_disable_setlocale();
    return GtkProcess{gtk_init_check(nullptr, nullptr) == TRUE, std::this_thread::get_id()};
  }();
  return process;
}

// Plenty for whatever a yield finds waiting, and a bound should some event
// source fire on every iteration, which would otherwise hold the run in the
// yield for good.
constexpr int kMaxIterationsPerYield = 1000;

// How often the window looks for changes made to its form outside a yield:
// the completion text a run sets as it returns, say, which the host's own
// message loop should bring to the screen.
constexpr guint kRefreshMilliseconds = 100;

class GtkRenderer final : public Renderer {
 public:
  GtkRenderer() = default;

  ~GtkRenderer() override {
    if (!window_) return;
    g_source_remove(refresh_);
    g_signal_handlers_disconnect_by_data(area_, this);
    g_signal_handlers_disconnect_by_data(window_, this);
    gtk_widget_destroy(window_);
  }

  void Present(const frmStatus& form) override {
    if (!window_) {
      if (!form.Visible() || !UsesGtk()) return;
      Create();
    }
    form_ = &form;
    TakeOver();
  }

  void PumpOnce() override {
    if (!gtk_ready_) return;
    for (int i = 0; i < kMaxIterationsPerYield && gtk_events_pending(); ++i) {
      gtk_main_iteration_do(FALSE);
    }
  }

  bool MessagesWaiting() override { return gtk_ready_ && gtk_events_pending(); }

  bool ConsumeUserClose() override { return std::exchange(closed_, false); }

  bool OnScreen() const override { return window_ != nullptr; }

  void WaitForUserClose() override {
    while (window_) gtk_main_iteration_do(TRUE);
  }

 private:
  bool UsesGtk() {
    if (!gtk_ready_) {
      const GtkProcess& gtk = InitialiseGtkOnce();
      gtk_ready_ = gtk.ready && gtk.thread == std::this_thread::get_id();
    }
    return gtk_ready_;
  }

  // Puts the form's current contents on screen at the next repaint.
  void TakeOver() {
    if (contents_.Shows(*form_)) return;
    contents_ = StatusContents::Of(*form_);
    gtk_widget_queue_draw(area_);
  }

  void Create() {
    // The font resolution the desktop asks for, which is what its users
    // read as the screen's dpi.
    const double dpi = gdk_screen_get_resolution(gdk_screen_get_default());
    dpi_ = dpi >= kMinDpi && dpi <= kMaxDpi ? dpi : kScreenDpi;
    const PixelSize client = ClientPixels({dpi_, dpi_});

    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), std::string(kCaption).c_str());
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    area_ = gtk_drawing_area_new();
    gtk_widget_set_size_request(area_, client.width, client.height);
    gtk_container_add(GTK_CONTAINER(window_), area_);
    g_signal_connect(area_, "draw", G_CALLBACK(OnDraw), this);
    g_signal_connect(window_, "destroy", G_CALLBACK(OnDestroy), this);
    refresh_ = g_timeout_add(kRefreshMilliseconds, OnRefresh, this);
    gtk_widget_show_all(window_);
  }

  static gboolean OnRefresh(gpointer self) {
    static_cast<GtkRenderer*>(self)->TakeOver();
    return G_SOURCE_CONTINUE;
  }

  static gboolean OnDraw(GtkWidget*, cairo_t* cr, gpointer self) {
    const GtkRenderer& r = *static_cast<GtkRenderer*>(self);
    PaintStatusWindow(cr, r.contents_, r.dpi_);
    // Others watching the window's drawing still get to see it.
    return GDK_EVENT_PROPAGATE;
  }

  // The user closed the window (GTK destroys a window on its delete event).
  static void OnDestroy(GtkWidget*, gpointer self) {
    GtkRenderer& r = *static_cast<GtkRenderer*>(self);
    g_source_remove(r.refresh_);
    r.window_ = nullptr;
    r.area_ = nullptr;
    r.form_ = nullptr;
    r.contents_ = {};
    r.closed_ = true;
  }

  bool gtk_ready_ = false;
  GtkWidget* window_ = nullptr;
  GtkWidget* area_ = nullptr;
  guint refresh_ = 0;
  // The form presented last; set whenever window_ is.
  const frmStatus* form_ = nullptr;
  double dpi_ = kScreenDpi;
  StatusContents contents_;
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<Renderer> NewToolkitRenderer() { return std::make_unique<GtkRenderer>(); }

}  // namespace kelda::status
