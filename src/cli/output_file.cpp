#include "cli/output_file.h"

#include <unistd.h>

#include <fmt/format.h>
#include <kelda/error.h>

#include <filesystem>
#include <system_error>

namespace kelda::cli {

namespace fs = std::filesystem;

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
  Raise(kErrPathFileAccess,
        fmt::format("Path/File access error: cannot write '{}': {}", path, why));
}

// Only stat-like calls: the database may be open in this process, and a
// descriptor opened and closed on it would drop SQLite's locks.
bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::exists(b, ec) && fs::equivalent(a, b, ec) && !ec;
}

}  // namespace

std::string ResolveOutputFile(const std::string& path, const std::string& database) {
  fs::path target = path;
  std::error_code ec;
  for (int links = 0;; ++links) {
    const fs::file_status status = fs::symlink_status(target, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) Refuse(path, ec.message());
    if (!fs::is_symlink(status)) break;
    if (links == kMaxLinks) Refuse(path, "too many levels of symbolic links");
    const fs::path next = fs::read_symlink(target, ec);
    if (ec) Refuse(path, ec.message());
    target = next.is_absolute() ? next : target.parent_path() / next;
  }

  const fs::file_status status = fs::status(target, ec);
  if (fs::exists(status)) {
    if (fs::is_directory(status)) Refuse(path, "it is a folder");
    if (!fs::is_regular_file(status)) Refuse(path, "it is not a regular file");
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      if (SameFile(target, database + suffix)) Refuse(path, "it is the database's own file");
    }
  }
  if (!target.has_filename()) Refuse(path, "it names a folder");
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  if (!fs::is_directory(folder, ec)) {
    Refuse(path, fmt::format("there is no folder '{}'", folder.string()));
  }
  // The new file is created beside the destination and renamed over it.
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    Refuse(path, fmt::format("the folder '{}' cannot be written", folder.string()));
  }
  return target.string();
}

}  // namespace kelda::cli
