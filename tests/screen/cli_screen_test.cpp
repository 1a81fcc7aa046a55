// `kelda train --show-status` on a display: the window comes up for the run
// and the tool stays until the user closes it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "screen/screen.h"
#include "support/process.h"
#include "support/temp_db.h"

// Last: Xlib's macros (None, Status, ...) would clash with names above.
#include <X11/Xlib.h>

namespace {

using ::testing::HasSubstr;

constexpr const char* kExamples =
    "CREATE TABLE T (A REAL, B REAL, Y REAL);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 150)"
    "  INSERT INTO T SELECT i % 13, i % 7, (i % 13) * 0.5 + (i % 7) FROM n;";

// Polls `done` for up to 30 seconds.
template <typename Done>
bool Within30s(Done done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A top-level window of another program, found by its title.
std::optional<Window> FindWindow(Display* x, const std::string& title) {
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  std::optional<Window> found;
  if (XQueryTree(x, DefaultRootWindow(x), &root, &parent, &children, &count) == 0) return found;
  for (unsigned i = 0; i < count; ++i) {
    char* name = nullptr;
    if (XFetchName(x, children[i], &name) && name) {
      if (title == name) found = children[i];
      XFree(name);
    }
  }
  if (children) XFree(children);
  return found;
}

// What a window manager sends when the user clicks a window's close button.
void CloseAsTheUser(Display* x, Window w) {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = w;
  e.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(x, w, False, NoEventMask, &e);
  XFlush(x);
}

TEST(ShowStatusTool, WaitsUntilTheUserClosesTheWindow) {
  if (!kelda::test::PrivateDisplay::Problem().empty()) {
    GTEST_SKIP() << kelda::test::PrivateDisplay::Problem();
  }
  const kelda::test::TempDb db(kExamples);
  const std::string out = db.File("stdout");
  const std::string err = db.File("stderr");
  kelda::test::ChildOptions options;
  options.out = kelda::test::Stream::File(out);
  options.err = kelda::test::Stream::File(err);
  kelda::test::Child tool(
      {KELDA_BINARY, "train", db.path(), "T", "--epochs", "3", "--seed", "1", "--show-status"},
      options);
  Display* x = XOpenDisplay(nullptr);
  ASSERT_NE(x, nullptr);

  // The report is out, and the tool waits with its window up.
  EXPECT_TRUE(Within30s([&] {
    return kelda::test::FileText(err).find("Close the status window") != std::string::npos;
  })) << kelda::test::FileText(err);
  EXPECT_THAT(kelda::test::FileText(out), HasSubstr("Trained on table 'T'"));
  std::optional<Window> window;
  EXPECT_TRUE(Within30s([&] { return (window = FindWindow(x, "Neural Network Status")); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(tool.Wait(std::chrono::milliseconds(0))) << "ended before the window was closed";

  if (window) CloseAsTheUser(x, *window);
  std::optional<kelda::test::Ended> ended;
  if (!Within30s([&] { return (ended = tool.Wait(std::chrono::milliseconds(0))).has_value(); })) {
    ADD_FAILURE() << "still running after the window was closed";
    tool.Signal(SIGKILL);
    ended = tool.Wait();
  }
  EXPECT_EQ(ended->status, 0) << kelda::test::FileText(err);
  XCloseDisplay(x);
}

}  // namespace
