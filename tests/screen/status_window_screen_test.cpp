// The status window on a real X display: shown through ShowStatus, updated
// by a training run's yields, closed by the user, and looked at through the
// X server's own pixels.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "component/network.h"
#include "component/thread_block.h"
#include "screen/screen.h"
#include "support/temp_db.h"

namespace kelda {
namespace {

using status::Colour;
using status::Point;

// 8 examples: an error sum of at most 8 examples keeps the trace inside the
// plot, where it reaches 0.5 to 9.5 units from the top.
constexpr const char* kExamples =
    "CREATE TABLE T (A REAL, B REAL, Y REAL);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8)"
    "  INSERT INTO T SELECT i % 13, i % 7, (i % 13) * 0.5 + (i % 7) FROM n;";

// The design at 96 dpi: 15 twips a pixel, picError's inner surface 2 pixels
// in from the client area's corner.
constexpr int kWidth = 385;
constexpr int kHeight = 162;
constexpr int kInner = 2;

// Where the painter puts a point of picError's drawing scale.
int ColumnOf(Point p) { return kInner + static_cast<int>(std::lround(p.x / 15.0)); }
int RowOf(Point p) { return kInner + static_cast<int>(std::lround(p.y * 211.5 / 15.0)); }

GtkWindow* FindStatusWindow() {
  GtkWindow* found = nullptr;
  GList* all = gtk_window_list_toplevels();
  for (GList* w = all; w; w = w->next) {
    GtkWindow* window = GTK_WINDOW(w->data);
    const char* title = gtk_window_get_title(window);
    if (title && std::string(title) == status::kCaption &&
        gtk_widget_get_visible(GTK_WIDGET(window))) {
      found = window;
    }
  }
  g_list_free(all);
  return found;
}

GtkWidget* AreaOf(GtkWindow* window) { return gtk_bin_get_child(GTK_BIN(window)); }

void CountDraw(GtkWidget*, cairo_t*, gpointer count) { ++*static_cast<int*>(count); }

// Runs GTK's loop until `widget` has been drawn again (asking for it when
// `ask` is set, otherwise waiting for the X server's exposure), then makes
// sure the server has the pixels. False when nothing came within a while.
bool WaitForDraw(GtkWidget* widget, bool ask) {
  int draws = 0;
  const gulong handler = g_signal_connect_after(widget, "draw", G_CALLBACK(CountDraw), &draws);
  if (ask) gtk_widget_queue_draw(widget);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (draws == 0 && std::chrono::steady_clock::now() < give_up) {
    if (gtk_events_pending()) {
      gtk_main_iteration_do(FALSE);
    } else {
      g_usleep(2000);
    }
  }
  g_signal_handler_disconnect(widget, handler);
  gdk_display_sync(gdk_display_get_default());
  return draws > 0;
}

void RunGtkFor(std::chrono::milliseconds span) {
  const auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end) {
    if (gtk_events_pending()) {
      gtk_main_iteration_do(FALSE);
    } else {
      g_usleep(2000);
    }
  }
}

// The status window's client area as the X server shows it.
class ClientArea : public test::Screenshot {
 public:
  explicit ClientArea(GtkWindow* window) : ClientArea(Origin(window)) {}

 private:
  explicit ClientArea(std::pair<int, int> origin)
      : test::Screenshot(origin.first, origin.second, kWidth, kHeight) {}
  static std::pair<int, int> Origin(GtkWindow* window) {
    int x = 0;
    int y = 0;
    gdk_window_get_origin(gtk_widget_get_window(AreaOf(window)), &x, &y);
    return {x, y};
  }
};

class ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::PrivateDisplay::Problem().empty()) GTEST_SKIP() << test::PrivateDisplay::Problem();
  }

  void Train(Network& net, int32_t epochs) {
    net.SetMSAccessDBName(db_.path());
    net.SetMSAccessTableName("T");
    net.SetEpochs(epochs);
    net.RunNetwork();
  }

  // Shows the window, waits until it is drawn and returns it.
  GtkWindow* ShownWindow(Network& net) {
    EXPECT_TRUE(net.ShowStatus().IsEmpty());
    EXPECT_TRUE(block_.status.OnScreen());
    GtkWindow* window = FindStatusWindow();
    if (window) {
      EXPECT_TRUE(WaitForDraw(AreaOf(window), true));
    }
    return window;
  }

  test::TempDb db_{kExamples};
  ThreadBlock& block_ = ThisThread();
};

TEST_F(ScreenTest, ShowStatusShowsTheDesign) {
  Network net;
  GtkWindow* window = ShownWindow(net);
  ASSERT_NE(window, nullptr);
  int width = 0;
  int height = 0;
  gtk_window_get_size(window, &width, &height);
  EXPECT_EQ(width, kWidth);
  EXPECT_EQ(height, kHeight);

  const ClientArea screen(window);
  ASSERT_TRUE(screen.Taken());
  EXPECT_EQ(screen.At(kInner + 16, 10), status::kHalfGreen) << "vertical grid line x = 240";
  EXPECT_EQ(screen.At(10, kInner + 16), status::kHalfGreen) << "horizontal grid line y = 240";
  EXPECT_EQ(screen.At(10, 10), status::kBlack);
  EXPECT_EQ(screen.At(kInner + 24, kInner + 24), status::kBlack);
  EXPECT_TRUE(screen.AnyTextIn(kInner + 320, kInner, kWidth - kInner, kInner + 17)) << "Label1";
  EXPECT_FALSE(screen.AnyTextIn(2, 146, 192, 160)) << "SSQBox is empty";
  EXPECT_FALSE(screen.AnyTextIn(194, 146, 383, 160)) << "CycleBox is empty";
  EXPECT_FALSE(screen.AnyIn(status::kGreen, 0, 0, kWidth, kHeight)) << "no trace";
}

TEST_F(ScreenTest, TheRunRepaintsTheWindowAtItsYields) {
  Network net;
  GtkWindow* window = ShownWindow(net);
  ASSERT_NE(window, nullptr);
  // The window is only drawn during the yields. With some work between
  // them, as a real table brings, the first epoch's reports reach the screen
  // within a few epochs; nothing else runs GTK's loop meanwhile.
  int yields = 0;
  bool texts_seen = false;
  block_.yield = [&] {
    if (texts_seen || block_.progress.epoch < 2) return;
    ++yields;
    const ClientArea screen(window);
    texts_seen = screen.AnyTextIn(2, 146, 192, 160) && screen.AnyTextIn(194, 146, 383, 160);
    if (!texts_seen) g_usleep(20000);
  };
  Train(net, 150);
  block_.yield = nullptr;
  EXPECT_TRUE(texts_seen) << "after " << yields << " yields";
  ASSERT_EQ(FindStatusWindow(), window);

  // A trace segment that ends inside the plot, with both ends drawn.
  const std::vector<status::Stroke>& trace = block_.status.Form().Trace();
  ASSERT_EQ(trace.size(), 12u);
  const auto inside = [](Point p) { return p.y >= 0.5f && p.y <= 9.5f; };
  const status::Stroke* known = nullptr;
  for (const status::Stroke& s : trace) {
    if (inside(s.from) && inside(s.to)) known = &s;
  }
  ASSERT_NE(known, nullptr);
  // The last segment and the completion text came after the last yield; the
  // window takes them over by itself once GTK's loop runs, as a host's would.
  RunGtkFor(std::chrono::milliseconds(300));
  ASSERT_TRUE(WaitForDraw(AreaOf(window), true));
  {
    const ClientArea screen(window);
    EXPECT_EQ(screen.At(ColumnOf(known->from), RowOf(known->from)), status::kGreen);
    EXPECT_EQ(screen.At(ColumnOf(known->to), RowOf(known->to)), status::kGreen);
  }

  // Covered and uncovered, the window draws its trace again.
  GtkWidget* cover = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(cover), kWidth + 40, kHeight + 40);
  int x = 0;
  int y = 0;
  gdk_window_get_origin(gtk_widget_get_window(AreaOf(window)), &x, &y);
  gtk_window_move(GTK_WINDOW(cover), x, y);
  gtk_widget_show_all(cover);
  ASSERT_TRUE(WaitForDraw(cover, true));
  EXPECT_NE(test::Screenshot(x, y, kWidth, kHeight).At(ColumnOf(known->to), RowOf(known->to)),
            status::kGreen);
  gtk_widget_destroy(cover);
  WaitForDraw(AreaOf(window), false);
  const ClientArea screen(window);
  EXPECT_EQ(screen.At(ColumnOf(known->to), RowOf(known->to)), status::kGreen);
}

TEST_F(ScreenTest, ClosedMidRunTheRunFinishesAndTheNextShowHasTheLaterTexts) {
  Network net;
  GtkWindow* window = ShownWindow(net);
  ASSERT_NE(window, nullptr);
  // Closed as the second epoch begins: three epochs report only in the
  // first, so the new window gets the completion text and no error text.
  block_.yield = [&] {
    if (block_.progress.epoch == 2 && FindStatusWindow()) gtk_window_close(FindStatusWindow());
  };
  Train(net, 3);
  block_.yield = nullptr;
  EXPECT_EQ(FindStatusWindow(), nullptr);
  EXPECT_FALSE(block_.status.OnScreen());
  EXPECT_FALSE(block_.status.Form().Visible());

  window = ShownWindow(net);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(block_.status.Form().SSQBoxCaption(), "");
  EXPECT_EQ(block_.status.Form().CycleBoxCaption(), " Training Complete");
  const ClientArea screen(window);
  EXPECT_FALSE(screen.AnyTextIn(2, 146, 192, 160)) << "SSQBox";
  EXPECT_TRUE(screen.AnyTextIn(194, 146, 383, 160)) << "CycleBox";
}

TEST_F(ScreenTest, AnotherThreadWorksWithoutAWindow) {
  Network net;
  ASSERT_NE(ShownWindow(net), nullptr);  // GTK now belongs to this thread
  std::thread other([this] {
    Network elsewhere;
    EXPECT_TRUE(elsewhere.ShowStatus().IsEmpty());
    EXPECT_FALSE(ThisThread().status.OnScreen());
    EXPECT_NO_THROW(Train(elsewhere, 2));
    EXPECT_EQ(ThisThread().status.Form().CycleBoxCaption(), " Training Complete");
  });
  other.join();
  GList* all = gtk_window_list_toplevels();
  EXPECT_EQ(g_list_length(all), 1u);
  g_list_free(all);
}

}  // namespace
}  // namespace kelda
