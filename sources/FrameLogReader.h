#pragma once
// Reading the frame logs of two synchronised recordings back, and finding
// the client frame that matches a server frame.

#include <cstdint>
#include <string>
#include <vector>

// The ticks of one frame log, one entry per frame (line).
struct FrameLogTicks {
  std::vector<uint32_t> local;   // the recording machine's tick
  std::vector<uint32_t> remote;  // the peer's last heartbeat tick
};

struct FrameLogReadResult {
  bool opened = false;
  int badLine = 0;  // 1-based number of the first line that does not parse, 0 when none
};

// A missing file gives empty lists. Reading stops at the first malformed line
// (or one longer than a log line can be), keeping the lines before it, so the
// entries always stay aligned with the recording's frames.
FrameLogReadResult ReadFrameLogTicks(const std::string& path, FrameLogTicks& ticks);

struct FrameMatch {
  int frame = 0;
  int64_t difference = 0;
};

// Tick distance that survives the 32-bit wrap of the millisecond clock.
int64_t TickDistance(uint32_t a, uint32_t b);

// The first index of `ticks` whose value is closest to `target`. Over an
// empty list the start values remain: frame `startFrame`, difference 1e9.
FrameMatch ClosestTick(const std::vector<uint32_t>& ticks, uint32_t target, int startFrame);

struct SyncMatch {
  FrameMatch byClientRemote;  // client's view of the server clock vs. server frame time
  FrameMatch byClientLocal;   // client frame time vs. server's view of the client clock
  FrameMatch chosen;          // the by-local match only when strictly closer
};

// Client frame matching server frame `serverFrame`; false (and nothing
// computed) when that frame is not in the server log.
bool MatchServerFrame(const FrameLogTicks& server, const FrameLogTicks& client, int serverFrame, SyncMatch& match);

// The clocks of the two machines, from their heartbeats: each log notes the
// peer's tick of the last heartbeat it got, so the first frame that shows a new
// heartbeat came at or after its arrival. The earliest such arrival on either
// side bounds the offset from both ends (the network delay is never negative);
// the offset is the middle of those bounds.
struct ClockOffset {
  bool known = false;
  double clientMinusServer = 0.0;  // ms
  double uncertainty = 0.0;        // half the width of the bounds, ms
};
ClockOffset EstimateClockOffset(const FrameLogTicks& server, const FrameLogTicks& client);

// Typical time between two frames of the logs (the median step), 0 when unknown.
double FramePeriodOf(const FrameLogTicks& server, const FrameLogTicks& client);

// The client frame recorded closest to the moment of a server frame, with the
// clocks' offset taken out. Not matched (with the reason) when the logs hold
// no heartbeats, leave the offset uncertain by more than a frame period, or
// when no client frame lies within `tolerance` (0: one frame period) of that
// moment.
struct ClientFrameMatch {
  bool matched = false;
  int clientFrame = -1;
  double tickDifference = 0.0;  // client frame time - server frame time on one clock, ms
  ClockOffset offset;
  double framePeriod = 0.0;
  std::string reason;
};
ClientFrameMatch MatchClientFrame(const FrameLogTicks& server, const FrameLogTicks& client, int serverFrame,
                                  double tolerance = 0.0);
