#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

#include "records/Paths.h"
#include "records/Version.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// A scratch tree: prefix/bin (executable), prefix/share/lentora, build/cli, elsewhere.
class ApplicationFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.Path();
    for (const char* folder : {"prefix/bin", "prefix/share/lentora", "build/cli", "elsewhere"})
      fs::create_directories(root_ / folder);
  }
  std::string At(const char* relative) const { return (root_ / relative).string(); }
  void GiveGraphics(const char* relative) const { fs::create_directories(root_ / relative / "Graphics"); }

  TempDir scratch_;
  fs::path root_;
};

TEST_F(ApplicationFolderTest, SearchesCurrentThenExecutableThenInstalledShare) {
  // Nothing holds graphics: the executable's folder, as before.
  EXPECT_EQ(FindApplicationFolder(At("elsewhere"), At("prefix/bin")), At("prefix/bin"));

  GiveGraphics("prefix/share/lentora");
  EXPECT_EQ(fs::path(FindApplicationFolder(At("elsewhere"), At("prefix/bin"))), fs::path(At("prefix/share/lentora")));

  GiveGraphics("prefix/bin");
  EXPECT_EQ(FindApplicationFolder(At("elsewhere"), At("prefix/bin")), At("prefix/bin"));

  GiveGraphics("elsewhere");
  EXPECT_EQ(FindApplicationFolder(At("elsewhere"), At("prefix/bin")), At("elsewhere"));
}

TEST_F(ApplicationFolderTest, BuildFolderFindsGraphicsBesideTheExecutable) {
  GiveGraphics("build/cli");
  GiveGraphics("prefix/share/lentora");
  EXPECT_EQ(FindApplicationFolder(At("elsewhere"), At("build/cli")), At("build/cli"));
}

TEST_F(ApplicationFolderTest, InstalledProgramWritesItsFixedFilesToTheUsersDataFolder) {
  GiveGraphics("prefix/share/lentora");
  setenv("XDG_DATA_HOME", At("elsewhere").c_str(), 1);
  const std::string share = FindApplicationFolder(At("elsewhere/none"), At("prefix/bin"));
  EXPECT_EQ(fs::path(DefaultOutputFolder(share, At("prefix/bin"))), root_ / "elsewhere" / "lentora");
  EXPECT_TRUE(fs::is_directory(root_ / "elsewhere" / "lentora"));
  // A build folder or a folder holding Graphics/ stays the output folder.
  GiveGraphics("build/cli");
  EXPECT_EQ(DefaultOutputFolder(At("build/cli"), At("build/cli")), At("build/cli"));
  EXPECT_EQ(DefaultOutputFolder(At("prefix/share/lentora"), At("build/cli")), At("prefix/share/lentora"));
  unsetenv("XDG_DATA_HOME");
}

TEST_F(ApplicationFolderTest, OutputFolderPrefersTheEnvironment) {
  setenv("LENTORA_OUTPUT_DIR", At("elsewhere").c_str(), 1);
  EXPECT_EQ(OutputPath("debbg.txt"), (root_ / "elsewhere" / "debbg.txt").string());
  setenv("LENTORA_OUTPUT_DIR", "", 1);
  EXPECT_EQ(OutputFolder(), ApplicationFolder());
  unsetenv("LENTORA_OUTPUT_DIR");
}

TEST_F(ApplicationFolderTest, ConfiguredOutputFolderComesBetweenEnvironmentAndApplicationFolder) {
  unsetenv("LENTORA_OUTPUT_DIR");
  SetConfiguredOutputFolder(At("chosen"));
  EXPECT_EQ(OutputPath("Main.jpg"), (root_ / "chosen" / "Main.jpg").string());
  setenv("LENTORA_OUTPUT_DIR", At("elsewhere").c_str(), 1);
  EXPECT_EQ(OutputFolder(), At("elsewhere"));
  unsetenv("LENTORA_OUTPUT_DIR");
  SetConfiguredOutputFolder("");
  EXPECT_EQ(OutputFolder(), ApplicationFolder());
}

TEST(Version, IsThreeDottedNumbers) {
  const std::string version = LentoraVersion();
  int dots = 0;
  for (char c : version) {
    if (c == '.') ++dots;
    else EXPECT_TRUE(c >= '0' && c <= '9') << version;
  }
  EXPECT_EQ(dots, 2) << version;
}

}  // namespace
