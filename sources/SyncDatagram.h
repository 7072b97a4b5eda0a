#pragma once
// The 12-byte datagram of the UDP link between two capture machines: three
// little-endian signed 32-bit integers (code, tick, check). Pure data, so the
// parse can be tested and fuzzed without a socket.

#include <QByteArray>
#include <cstdint>

struct SyncDatagram {
  int32_t code = 0;
  int32_t tick = 0;
  int32_t check = 0;
};

constexpr int kSyncDatagramSize = 12;
constexpr int32_t kSyncStart = 9;
constexpr int32_t kSyncStop = 8;
constexpr int32_t kSyncHeartbeat = 1;
constexpr int32_t kSyncHeartbeatCheck = 2;
constexpr uint16_t kDefaultSyncPort = 4000;

// The preview's guidance on two synchronised machines. Their ticks are not
// clock readings to log (only the board report's is the sender's tick now).
// Board report, after each search: check says what the sender's frame held.
constexpr int32_t kSyncBoard = 3;
constexpr int32_t kSyncBoardNone = 30;
constexpr int32_t kSyncBoardSeen = 31;
constexpr int32_t kSyncBoardNew = 32;  // seen, and it adds coverage to the sender's camera
// Server to client: store your frame of server tick `tick` as pair number `check`.
constexpr int32_t kSyncCapturePair = 5;
// Client to server: pair number `tick` stored (check 6), or refused (check: the client's view count).
constexpr int32_t kSyncPairStored = 6;
constexpr int32_t kSyncPairRefused = 7;

// Whether the datagram belongs to the guidance (codes 3, 5, 6 and 7), and
// whether it is one of them in a well-formed shape.
bool IsGuidanceCode(int32_t code);
bool IsValidGuidanceDatagram(const SyncDatagram& datagram);

QByteArray EncodeSyncDatagram(const SyncDatagram& datagram);
// False unless `bytes` holds exactly one datagram.
bool DecodeSyncDatagram(const QByteArray& bytes, SyncDatagram& datagram);
