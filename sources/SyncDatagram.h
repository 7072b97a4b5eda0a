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

QByteArray EncodeSyncDatagram(const SyncDatagram& datagram);
// False unless `bytes` holds exactly one datagram.
bool DecodeSyncDatagram(const QByteArray& bytes, SyncDatagram& datagram);
