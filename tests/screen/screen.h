// Test support for the screen suite: an X server of the test program's own
// (Xvfb on a free display number, DISPLAY set for this process and the
// programs it starts, nowhere else), and a look at the pixels it shows.
#pragma once

#include <fcntl.h>
#include <gdk/gdk.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "status/layout.h"

namespace kelda::test {

class PrivateDisplay : public ::testing::Environment {
 public:
  void SetUp() override {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      problem_ = "no pipe for Xvfb";
      return;
    }
    // Everything the child needs is prepared before the fork.
    const int child_fd = 3;
    const std::string fd_text = std::to_string(child_fd);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      // dup2 clears close-on-exec on the copy, but leaves a descriptor that
      // is already in place as it was.
      if (fds[1] == child_fd) {
        ::fcntl(child_fd, F_SETFD, 0);
      } else {
        ::dup2(fds[1], child_fd);
      }
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd_text.c_str(), "-screen", "0", "800x600x24",
               "-nolisten", "tcp", "-dpi", "96", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    if (pid_ < 0) {
      ::close(fds[0]);
      problem_ = "cannot fork for Xvfb";
      return;
    }
    // Xvfb writes its display number once it accepts connections.
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&p, 1, 20000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (number.empty()) {
      problem_ = "Xvfb did not start (is the Debian package xvfb installed?)";
      return;
    }
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    // GTK would rather take a Wayland compositor the tests happen to run
    // under.
    ::setenv("GDK_BACKEND", "x11", 1);
    // A bare X server has no accessibility bus to bridge to.
    ::setenv("NO_AT_BRIDGE", "1", 1);
    problem_.clear();
  }

  void TearDown() override {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }

  // Empty once the display is there; otherwise why it is not.
  static const std::string& Problem() { return problem_; }

 private:
  pid_t pid_ = -1;
  static inline std::string problem_ = "the display was never started";
};

// Started once for the whole test program, before its first test.
[[maybe_unused]] inline const auto* const kPrivateDisplay =
    ::testing::AddGlobalTestEnvironment(new PrivateDisplay);

// Part of the root window, as the X server holds it.
class Screenshot {
 public:
  Screenshot(int x, int y, int width, int height)
      : pixbuf_(gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, width, height)) {}
  ~Screenshot() {
    if (pixbuf_) g_object_unref(pixbuf_);
  }
  Screenshot(const Screenshot&) = delete;
  Screenshot& operator=(const Screenshot&) = delete;

  bool Taken() const { return pixbuf_ != nullptr; }

  // &HBBGGRR of the pixel at (x, y) of the part taken.
  status::Colour At(int x, int y) const {
    const guchar* p = gdk_pixbuf_get_pixels(pixbuf_) + y * gdk_pixbuf_get_rowstride(pixbuf_) +
                      x * gdk_pixbuf_get_n_channels(pixbuf_);
    return static_cast<status::Colour>(p[0] | (p[1] << 8) | (p[2] << 16));
  }

  // Whether any pixel of the rectangle has exactly the colour `c`.
  bool AnyIn(status::Colour c, int left, int top, int right, int bottom) const {
    for (int y = top; y < bottom; ++y) {
      for (int x = left; x < right; ++x) {
        if (At(x, y) == c) return true;
      }
    }
    return false;
  }

  // Whether any pixel of the rectangle is as bright a green as text
  // (&H00C000), brighter than the grid text may lie on.
  bool AnyTextIn(int left, int top, int right, int bottom) const {
    for (int y = top; y < bottom; ++y) {
      for (int x = left; x < right; ++x) {
        if (((At(x, y) >> 8) & 0xFF) > 0x80) return true;
      }
    }
    return false;
  }

 private:
  GdkPixbuf* pixbuf_;
};

}  // namespace kelda::test
