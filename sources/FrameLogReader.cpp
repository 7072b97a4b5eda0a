#include "sources/FrameLogReader.h"

#include <cstdlib>
#include <fstream>

#include "sources/FrameSampler.h"

namespace {
// A log line holds five numbers of at most 20 characters; anything longer
// than the line buffer of the writer's era is not a log line.
constexpr size_t kMaxLineChars = 999;
constexpr int64_t kNoMatchDifference = 1000000000;
constexpr int kSearchBack = 200;
}  // namespace

FrameLogReadResult ReadFrameLogTicks(const std::string& path, FrameLogTicks& ticks) {
  ticks.local.clear();
  ticks.remote.clear();
  FrameLogReadResult result;
  std::ifstream in(path);
  if (!in) return result;
  result.opened = true;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() && in.peek() == std::ifstream::traits_type::eof()) break;
    FrameLogLine parsed;
    if (line.size() > kMaxLineChars || !ParseFrameLogLine(line, parsed)) {
      result.badLine = number;
      break;
    }
    ticks.local.push_back(parsed.localTick);
    ticks.remote.push_back(parsed.remoteTick);
  }
  return result;
}

int64_t TickDistance(uint32_t a, uint32_t b) {
  return std::llabs(static_cast<int64_t>(static_cast<int32_t>(a - b)));
}

FrameMatch ClosestTick(const std::vector<uint32_t>& ticks, uint32_t target, int startFrame) {
  FrameMatch best{startFrame, kNoMatchDifference};
  for (size_t i = 0; i < ticks.size(); ++i) {
    const int64_t d = TickDistance(ticks[i], target);
    if (d < best.difference) best = {static_cast<int>(i), d};
  }
  return best;
}

bool MatchServerFrame(const FrameLogTicks& server, const FrameLogTicks& client, int serverFrame, SyncMatch& match) {
  if (serverFrame < 0 || static_cast<size_t>(serverFrame) >= server.local.size() ||
      static_cast<size_t>(serverFrame) >= server.remote.size())
    return false;
  const int start = serverFrame - kSearchBack;
  match.byClientRemote = ClosestTick(client.remote, server.local[serverFrame], start);
  match.byClientLocal = ClosestTick(client.local, server.remote[serverFrame], start);
  match.chosen = match.byClientLocal.difference < match.byClientRemote.difference ? match.byClientLocal
                                                                                 : match.byClientRemote;
  return true;
}
