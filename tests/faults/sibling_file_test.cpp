// Files the tool writes into folders that others may write too: a link or a
// file planted there is never written through, and a write that fails leaves
// the destination as it was and nothing of its own behind.
#include "base/sibling_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "component/network_file.h"
#include "support/process.h"
#include "support/temp_db.h"

namespace kelda {
namespace {

namespace fs = std::filesystem;
using test::FileText;
using test::TempDb;

// A folder with test.db, the file `victim` that links point at, and `dest`
// holding what it held before the write.
class SiblingFileTest : public ::testing::Test {
 protected:
  SiblingFileTest() {
    victim_ = dir_.WriteFile("victim", "victim's own");
    dest_ = dir_.WriteFile("dest", "as it was");
  }
  void Plant(const std::string& name) const { fs::create_symlink(victim_, dir_.File(name)); }

  TempDb dir_;
  std::string victim_;
  std::string dest_;
};

TEST_F(SiblingFileTest, PlantedLinksAreNeverWrittenThrough) {
  // The name earlier versions wrote to, and one without the random part.
  Plant("dest.tmp" + std::to_string(::getpid()));
  Plant("dest.partial");
  ASSERT_FALSE(ReplaceFileContents(dest_, "new contents"));
  EXPECT_EQ(FileText(dest_), "new contents");
  EXPECT_EQ(FileText(victim_), "victim's own");
  EXPECT_EQ(
      test::NamesIn(dir_.dir()),
      (std::vector<std::string>{"dest", "dest.partial", "dest.tmp" + std::to_string(::getpid()),
                                "test.db", "victim"}));
}

TEST_F(SiblingFileTest, ALinkAtTheDestinationIsReplacedNotFollowed) {
  const std::string link = dir_.File("link");
  fs::create_symlink(victim_, link);
  ASSERT_FALSE(ReplaceFileContents(link, "new contents"));
  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_EQ(FileText(link), "new contents");
  EXPECT_EQ(FileText(victim_), "victim's own");
}

// The process may write only 64 bytes into any file: the write stops half
// way with EFBIG, as on a full disk.
TEST_F(SiblingFileTest, AFailedWriteLeavesTheDestinationAndNoTemporary) {
  const std::vector<std::string> before = test::NamesIn(dir_.dir());
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  struct sigaction ignore {
  }, saved{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &saved), 0);
  rlimit small = old;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::error_code error = ReplaceFileContents(dest_, std::string(4096, 'x'));
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::sigaction(SIGXFSZ, &saved, nullptr);
  EXPECT_EQ(error, std::errc::file_too_large);
  EXPECT_EQ(FileText(dest_), "as it was");
  EXPECT_EQ(test::NamesIn(dir_.dir()), before);
}

TEST_F(SiblingFileTest, AFailedRenameLeavesNoTemporary) {
  fs::create_directory(dir_.File("folder"));
  dir_.WriteFile("folder/inside", "kept");
  const std::vector<std::string> before = test::NamesIn(dir_.dir());
  EXPECT_TRUE(ReplaceFileContents(dir_.File("folder"), "new contents"));
  EXPECT_EQ(test::NamesIn(dir_.dir()), before);
  EXPECT_EQ(FileText(dir_.File("folder/inside")), "kept");
}

TEST_F(SiblingFileTest, AMissingFolderIsAnError) {
  EXPECT_EQ(ReplaceFileContents(dir_.File("none/dest"), "x"), std::errc::no_such_file_or_directory);
}

// The network file, written where the old temporary name held a link.
TEST_F(SiblingFileTest, NetworkFileIsNotWrittenThroughALinkAtTheOldTemporaryName) {
  SavedNetwork net;
  net.layer_units = {1, 1, 1};
  net.input_layer = {0.0};
  net.hidden.bias = {0.5};
  net.hidden.temperature = {2.0};
  net.hidden.weight = {{0.25}};
  net.output = net.hidden;
  net.target = TargetColumn{"y", 0.0, 1.0};
  Plant("dest.tmp" + std::to_string(::getpid()));
  SaveNetworkFile(net, dest_);
  EXPECT_EQ(FileText(victim_), "victim's own");
  EXPECT_EQ(LoadNetworkFile(dest_).target.name, "y");
}

}  // namespace
}  // namespace kelda
