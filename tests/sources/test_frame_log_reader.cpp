// Frame logs read back and the client frame matched to a server frame.
#include <gtest/gtest.h>

#include "sources/FrameLogReader.h"
#include "sources/FrameSampler.h"
#include "support/TempDir.h"

namespace {

std::string Log(const std::vector<std::pair<uint32_t, uint32_t>>& localRemote) {
  std::string text;
  uint32_t frame = 0;
  for (const auto& [local, remote] : localRemote) {
    text += FormatFrameLogLine(frame, local, frame * 333333LL, remote);
    ++frame;
  }
  return text;
}

TEST(FrameLogReader, ReadsTicksPerLineAndStopsAtTheFirstBadLine) {
  TempDir dir;
  dir.Write("a.txt", Log({{1000, 0}, {1033, 990}, {4294967295u, 1020}}));
  FrameLogTicks ticks;
  FrameLogReadResult result = ReadFrameLogTicks(dir.File("a.txt"), ticks);
  EXPECT_TRUE(result.opened);
  EXPECT_EQ(result.badLine, 0);
  EXPECT_EQ(ticks.local, (std::vector<uint32_t>{1000, 1033, 4294967295u}));
  EXPECT_EQ(ticks.remote, (std::vector<uint32_t>{0, 990, 1020}));

  dir.Write("b.txt", Log({{1, 2}}) + "3 4 five 6 7\n" + Log({{8, 9}}));
  result = ReadFrameLogTicks(dir.File("b.txt"), ticks);
  EXPECT_EQ(result.badLine, 2);
  EXPECT_EQ(ticks.local.size(), 1u);

  dir.Write("c.txt", std::string(5000, '1') + "\n");
  EXPECT_EQ(ReadFrameLogTicks(dir.File("c.txt"), ticks).badLine, 1);
  EXPECT_TRUE(ticks.local.empty());

  result = ReadFrameLogTicks(dir.File("missing.txt"), ticks);
  EXPECT_FALSE(result.opened);
  EXPECT_TRUE(ticks.local.empty() && ticks.remote.empty());
}

TEST(FrameLogReader, TickDistanceSurvivesTheClockWrap) {
  EXPECT_EQ(TickDistance(5, 4294967291u), 10);
  EXPECT_EQ(TickDistance(100, 130), 30);
}

TEST(SyncSearch, FindsTheClosestClientFrameAndPrefersSearchAOnTies) {
  // Server frames every 40 ms; the client's frames fall 25 ms later and it saw the server
  // clock through heartbeats.
  FrameLogTicks server, client;
  for (uint32_t i = 0; i < 50; ++i) {
    server.local.push_back(10000 + 40 * i);
    server.remote.push_back(20000 + 40 * i);  // server's view of the client clock
    client.local.push_back(20025 + 40 * i);
    client.remote.push_back(10000 + 40 * i - 20);  // client's view of the server clock
  }
  SyncMatch match;
  ASSERT_TRUE(MatchServerFrame(server, client, 10, match));
  EXPECT_EQ(match.byClientRemote.frame, 10);
  EXPECT_EQ(match.byClientRemote.difference, 20);
  EXPECT_EQ(match.byClientLocal.frame, 9);
  EXPECT_EQ(match.byClientLocal.difference, 15);
  EXPECT_EQ(match.chosen.frame, 9);  // strictly closer

  // Equal differences: search A's frame.
  for (auto& t : client.local) t -= 5;
  ASSERT_TRUE(MatchServerFrame(server, client, 10, match));
  EXPECT_EQ(match.byClientLocal.difference, 20);
  EXPECT_EQ(match.chosen.frame, match.byClientRemote.frame);

  // Several equally close frames: the first one wins.
  client.remote.assign(50, 10400);
  EXPECT_EQ(ClosestTick(client.remote, 10400, -190).frame, 0);
}

TEST(SyncSearch, OutOfRangeFramesAndEmptyLogs) {
  FrameLogTicks server{{100, 200}, {100, 200}}, client;
  SyncMatch match;
  match.chosen = {77, 5};
  EXPECT_FALSE(MatchServerFrame(server, client, 2, match));
  EXPECT_FALSE(MatchServerFrame(server, client, -1, match));
  EXPECT_EQ(match.chosen.frame, 77);
  ASSERT_TRUE(MatchServerFrame(server, client, 1, match));
  EXPECT_EQ(match.chosen.frame, 1 - 200);  // start values kept over an empty client log
  EXPECT_EQ(match.chosen.difference, 1000000000);
}

}  // namespace
