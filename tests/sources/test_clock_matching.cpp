// Matching a server frame to the client frame of the same moment, through the
// clocks' offset the two frame logs' heartbeats give; and the clear refusals
// when the logs cannot be matched.

#include <gtest/gtest.h>

#include <cmath>

#include "sources/FrameLogReader.h"

namespace {

// Two machines whose clocks differ by `offset` ms (client - server), 30 fps
// each with a phase shift, heartbeats every 100 ms both ways that take
// `delay` ms; the client records from `clientStart` ms after the server.
struct Recording {
  double offset = 5000.0;
  double delay = 0.4;
  double period = 1000.0 / 30.0;
  double clientPhase = 0.0;
  double clientStart = 0.0;
  bool dropEveryOtherHeartbeat = false;
  double seconds = 6.0;
  FrameLogTicks server, client;

  // Server-clock time of the last heartbeat the sender side got before `time` (server clock).
  double LastHeartbeat(double time, double firstBeat) const {
    const double spacing = dropEveryOtherHeartbeat ? 200.0 : 100.0;
    if (time < firstBeat + delay) return -1.0;
    return firstBeat + spacing * std::floor((time - delay - firstBeat) / spacing);
  }

  void Make() {
    const double serverBase = 100000.0;
    for (double t = 0.0; t < seconds * 1000.0; t += period) {
      const double time = serverBase + t;  // server clock
      server.local.push_back(static_cast<uint32_t>(std::floor(time)));
      const double beat = LastHeartbeat(time, serverBase + 7.0);  // client beats, client clock = server + offset
      server.remote.push_back(beat < 0 ? 0u : static_cast<uint32_t>(std::floor(beat + offset)));
    }
    for (double t = clientStart + clientPhase; t < seconds * 1000.0; t += period) {
      const double time = serverBase + t;
      client.local.push_back(static_cast<uint32_t>(std::floor(time + offset)));
      const double beat = LastHeartbeat(time, serverBase + 3.0);  // server beats
      client.remote.push_back(beat < 0 ? 0u : static_cast<uint32_t>(std::floor(beat)));
    }
  }

  // The client frame that shows the moment of server frame n (frames start on a common grid).
  int TrueClientFrame(int n) const { return static_cast<int>(std::lround((n * period - clientStart - clientPhase) / period)); }
};

}  // namespace

TEST(ClockMatching, FindsTheSameMomentDespiteTheClockOffset) {
  Recording r;
  r.Make();
  const ClockOffset offset = EstimateClockOffset(r.server, r.client);
  ASSERT_TRUE(offset.known);
  EXPECT_NEAR(offset.clientMinusServer, 5000.0, offset.uncertainty + 1.0);
  EXPECT_LE(offset.uncertainty, r.period);  // heartbeats in step with the frames narrow it no further
  EXPECT_NEAR(FramePeriodOf(r.server, r.client), r.period, 1.0);
  for (int n : {3, 40, 90, 170}) {
    const ClientFrameMatch match = MatchClientFrame(r.server, r.client, n);
    ASSERT_TRUE(match.matched) << match.reason;
    EXPECT_EQ(match.clientFrame, r.TrueClientFrame(n)) << n;
    EXPECT_LT(std::fabs(match.tickDifference), r.period / 2) << n;
  }
}

TEST(ClockMatching, LostHeartbeatsAndALateStartStillMatchWithinAFrame) {
  Recording r;
  r.dropEveryOtherHeartbeat = true;
  r.clientStart = 300.0;  // the start command came 300 ms late
  r.clientPhase = 11.0;   // and the two cameras are not in phase
  r.Make();
  for (int n : {20, 60, 120, 170}) {
    const ClientFrameMatch match = MatchClientFrame(r.server, r.client, n);
    ASSERT_TRUE(match.matched) << match.reason;
    EXPECT_LE(std::fabs(match.tickDifference), match.framePeriod) << n;
    EXPECT_LE(std::abs(match.clientFrame - r.TrueClientFrame(n)), 1) << n;
  }
  // Server frames from before the client started have no partner: said so, not paired with frame 0.
  const ClientFrameMatch early = MatchClientFrame(r.server, r.client, 2);
  EXPECT_FALSE(early.matched);
  EXPECT_EQ(early.reason.rfind("no client frame within", 0), 0u) << early.reason;
  // A tighter tolerance refuses the out-of-phase pairs.
  EXPECT_FALSE(MatchClientFrame(r.server, r.client, 60, 5.0).matched);
}

TEST(ClockMatching, LogsWithoutHeartbeatsOrWithAWideOffsetAreRefused) {
  Recording r;
  r.Make();
  FrameLogTicks deaf = r.client;
  deaf.remote.assign(deaf.remote.size(), 0u);
  ClientFrameMatch match = MatchClientFrame(r.server, deaf, 30);
  EXPECT_FALSE(match.matched);
  EXPECT_NE(match.reason.find("cannot be matched"), std::string::npos) << match.reason;
  EXPECT_FALSE(EstimateClockOffset(r.server, deaf).known);

  // Heartbeats that took 200 ms on the way leave the offset too uncertain.
  Recording slow;
  slow.delay = 200.0;
  slow.Make();
  match = MatchClientFrame(slow.server, slow.client, 100);
  EXPECT_FALSE(match.matched);
  EXPECT_NE(match.reason.find("uncertain"), std::string::npos) << match.reason;

  EXPECT_FALSE(MatchClientFrame(r.server, r.client, -1).matched);
  EXPECT_FALSE(MatchClientFrame(r.server, FrameLogTicks{}, 3).matched);
  EXPECT_FALSE(MatchClientFrame(r.server, r.client, static_cast<int>(r.server.local.size())).matched);
}

TEST(ClockMatching, TicksAroundTheClockWrap) {
  Recording r;
  r.Make();
  // Both clocks pass 2^32 during the recording.
  const uint32_t shift = 0xFFFFFFFFu - 102000u;
  for (FrameLogTicks* log : {&r.server, &r.client}) {
    for (uint32_t& t : log->local) t += shift;
    for (uint32_t& t : log->remote)
      if (t) t += shift;
  }
  const ClientFrameMatch match = MatchClientFrame(r.server, r.client, 100);
  ASSERT_TRUE(match.matched) << match.reason;
  EXPECT_EQ(match.clientFrame, r.TrueClientFrame(100));
}
