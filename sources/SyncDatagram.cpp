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
