#include "sources/SyncDatagram.h"

#include <QtEndian>

QByteArray EncodeSyncDatagram(const SyncDatagram& datagram) {
  QByteArray bytes(kSyncDatagramSize, '\0');
  auto* out = reinterpret_cast<uchar*>(bytes.data());
  qToLittleEndian<qint32>(datagram.code, out);
  qToLittleEndian<qint32>(datagram.tick, out + 4);
  qToLittleEndian<qint32>(datagram.check, out + 8);
  return bytes;
}

bool DecodeSyncDatagram(const QByteArray& bytes, SyncDatagram& datagram) {
  if (bytes.size() != kSyncDatagramSize) return false;
  const auto* in = reinterpret_cast<const uchar*>(bytes.constData());
  datagram.code = qFromLittleEndian<qint32>(in);
  datagram.tick = qFromLittleEndian<qint32>(in + 4);
  datagram.check = qFromLittleEndian<qint32>(in + 8);
  return true;
}

bool IsGuidanceCode(int32_t code) {
  return code == kSyncBoard || code == kSyncCapturePair || code == kSyncPairStored || code == kSyncPairRefused;
}

bool IsValidGuidanceDatagram(const SyncDatagram& datagram) {
  switch (datagram.code) {
    case kSyncBoard:
      return datagram.check >= kSyncBoardNone && datagram.check <= kSyncBoardNew;
    case kSyncCapturePair:
      return datagram.check >= 0;
    case kSyncPairStored:
      return datagram.check == kSyncPairStored && datagram.tick >= 0;
    case kSyncPairRefused:
      return datagram.tick >= 0;
    default:
      return false;
  }
}
