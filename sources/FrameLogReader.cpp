#include "sources/FrameLogReader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
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

namespace {

// Signed a - b of two wrapping ticks.
double TickMinus(uint32_t a, uint32_t b) { return static_cast<double>(static_cast<int32_t>(a - b)); }

// The smallest (local tick - peer tick) over the frames that are the first to
// show a heartbeat: an upper bound of (local clock - peer clock) + delay.
bool EarliestArrival(const FrameLogTicks& log, double& bound) {
  bool found = false;
  const size_t count = std::min(log.local.size(), log.remote.size());
  for (size_t i = 0; i < count; ++i) {
    if (log.remote[i] == 0 || (i > 0 && log.remote[i] == log.remote[i - 1])) continue;
    const double difference = TickMinus(log.local[i], log.remote[i]);
    if (!found || difference < bound) bound = difference;
    found = true;
  }
  return found;
}

double MedianStep(const std::vector<uint32_t>& ticks) {
  std::vector<double> steps;
  for (size_t i = 1; i < ticks.size(); ++i)
    if (const double step = TickMinus(ticks[i], ticks[i - 1]); step > 0) steps.push_back(step);
  if (steps.empty()) return 0.0;
  std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
  return steps[steps.size() / 2];
}

std::string Milliseconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", value);
  return text;
}

}  // namespace

ClockOffset EstimateClockOffset(const FrameLogTicks& server, const FrameLogTicks& client) {
  ClockOffset offset;
  double clientBound = 0.0, serverBound = 0.0;
  if (!EarliestArrival(client, clientBound) || !EarliestArrival(server, serverBound)) return offset;
  // client - server lies in [-serverBound, clientBound]. Logged frame times
  // are capture times, a little before the sampler read the heartbeat, so the
  // bounds can cross by that much; their distance is the uncertainty either way.
  offset.known = true;
  offset.clientMinusServer = (clientBound - serverBound) / 2.0;
  offset.uncertainty = std::fabs(clientBound + serverBound) / 2.0;
  return offset;
}

double FramePeriodOf(const FrameLogTicks& server, const FrameLogTicks& client) {
  return std::max(MedianStep(server.local), MedianStep(client.local));
}

ClientFrameMatch MatchClientFrame(const FrameLogTicks& server, const FrameLogTicks& client, int serverFrame,
                                  double tolerance) {
  ClientFrameMatch match;
  if (serverFrame < 0 || static_cast<size_t>(serverFrame) >= server.local.size()) {
    match.reason = "server frame " + std::to_string(serverFrame) + " is not in the server log (" +
                   std::to_string(server.local.size()) + " frames)";
    return match;
  }
  if (client.local.empty()) {
    match.reason = "the client log holds no frames";
    return match;
  }
  match.framePeriod = FramePeriodOf(server, client);
  const double limit = tolerance > 0 ? tolerance : match.framePeriod;
  match.offset = EstimateClockOffset(server, client);
  if (!match.offset.known) {
    match.reason = "the logs cannot be matched: they hold no heartbeats of the other machine";
    return match;
  }
  if (match.offset.uncertainty > match.framePeriod) {
    match.reason = "the logs cannot be matched: the heartbeats leave the clocks' offset uncertain by " +
                   Milliseconds(match.offset.uncertainty) + ", more than a frame period (" +
                   Milliseconds(match.framePeriod) + ")";
    return match;
  }
  // The server frame's moment on the client clock.
  const uint32_t target = server.local[serverFrame] + static_cast<uint32_t>(static_cast<int32_t>(std::lround(match.offset.clientMinusServer)));
  const double fraction = match.offset.clientMinusServer - std::round(match.offset.clientMinusServer);
  for (size_t j = 0; j < client.local.size(); ++j) {
    const double difference = TickMinus(client.local[j], target) - fraction;
    if (match.clientFrame < 0 || std::fabs(difference) < std::fabs(match.tickDifference)) {
      match.clientFrame = static_cast<int>(j);
      match.tickDifference = difference;
    }
  }
  match.matched = std::fabs(match.tickDifference) <= limit;
  if (!match.matched)
    match.reason = "no client frame within " + Milliseconds(limit) + " of server frame " + std::to_string(serverFrame) +
                   " (the nearest, " + std::to_string(match.clientFrame) + ", is " +
                   Milliseconds(match.tickDifference) + " away)";
  return match;
}
