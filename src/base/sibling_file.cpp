#include "base/sibling_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace kelda {

namespace {

std::error_code LastError(int fallback = EIO) {
  return {errno != 0 ? errno : fallback, std::generic_category()};
}

// O_EXCL refuses any name that exists, a dangling link included; a name taken
// by chance is drawn again.
int CreateExclusive(const std::string& path, std::string& name) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%08x.partial", static_cast<unsigned>(random()));
    name = path + suffix;
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

std::error_code WriteAll(int fd, std::string_view contents) {
  for (std::size_t done = 0; done < contents.size();) {
    errno = 0;
    const ssize_t written = ::write(fd, contents.data() + done, contents.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return LastError();
    done += static_cast<std::size_t>(written);
  }
  return {};
}

}  // namespace

std::error_code ReplaceFileContents(const std::string& path, std::string_view contents) {
  std::string partial;
  errno = 0;
  const int fd = CreateExclusive(path, partial);
  if (fd < 0) return LastError(EEXIST);
  std::error_code error = WriteAll(fd, contents);
  errno = 0;
  if (::close(fd) != 0 && !error) error = LastError();
  errno = 0;
  if (!error && std::rename(partial.c_str(), path.c_str()) != 0) error = LastError();
  if (error) ::unlink(partial.c_str());
  return error;
}

}  // namespace kelda
