// The 12-byte sync datagram parser: only exactly 12 bytes decode, and what
// decodes encodes back to the same bytes.

#include <QByteArray>

#include "fuzz/FuzzSupport.h"
#include "sources/SyncDatagram.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  SyncDatagram datagram;
  const bool decoded = DecodeSyncDatagram(bytes, datagram);
  if (decoded != (size == static_cast<size_t>(kSyncDatagramSize))) __builtin_trap();
  if (decoded && EncodeSyncDatagram(datagram) != bytes) __builtin_trap();
  return 0;
}
