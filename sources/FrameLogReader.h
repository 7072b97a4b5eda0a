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
