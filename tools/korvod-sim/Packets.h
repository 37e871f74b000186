// Packets on the daemon pipe: a 16-byte header of four 32-bit words in the
// machine's byte order (length including the header, route word, kind, one
// unused word), then the payload. A packet travels as records of at most
// 65,536 bytes, all full except the last.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvodsim {

using Bytes = std::vector<unsigned char>;
using ByteView = std::span<const unsigned char>;

inline constexpr uint32_t kHeaderSize = 16;
inline constexpr uint32_t kMaxRecord = 65536;
inline constexpr uint32_t kKindDaemonInfo = 7;
inline constexpr uint32_t kKindStop = 8;
// The example clip-export plug-in's report of a clip it wrote (one line of text).
inline constexpr uint32_t kKindClipExported = 41;

struct PacketHeader {
  uint32_t length = 0;
  uint32_t route = 0;
  uint32_t kind = 0;
  uint32_t reserved = 0;
};

// The header words at the start of `bytes`, which holds at least 16 bytes.
PacketHeader readHeader(ByteView bytes);

// A packet with a correct length word and the last header word 0.
Bytes makePacket(uint32_t route, uint32_t kind, ByteView payload);
// The route word that addresses the plug-in with this id (bits 20-27).
constexpr uint32_t routeWordFor(uint32_t pluginId) { return (pluginId & 0xFFu) << 20; }

// Kind 7: the daemon's file name and version, each NUL-terminated, and when
// `background` is set the string "Background:true".
Bytes daemonInfoPacket(std::string_view name, std::string_view version, bool background);
// Kind 8, header only.
Bytes stopPacket();

// The records a packet is written as: consecutive pieces of at most 65,536 bytes.
std::vector<ByteView> recordsOf(ByteView packet);

// One line about a whole packet (at least a header): length, route word,
// kind, start of payload.
std::string describePacket(ByteView packet);
// The text of a clip-export report, whole; nothing for other packets.
std::optional<std::string> clipReport(ByteView packet);
// The first bytes of `bytes`: quoted text when they are printable, else hex.
std::string preview(ByteView bytes, std::size_t limit = 32);

// Puts packets back together from the records they arrived in.
class PacketAssembler {
 public:
  // A whole packet, or bytes that cannot be one (`problem` says why).
  struct Piece {
    Bytes bytes;
    std::string problem;
  };

  // Takes one record as received and returns what it completed, in order.
  // A record shorter than 65,536 bytes is the last of its packet, so a packet
  // it leaves unfinished is reported instead of swallowing the next one.
  std::vector<Piece> addRecord(ByteView record);
  // What is left when the pipe has closed.
  std::optional<Piece> finish();

 private:
  Bytes pending;
};

}  // namespace korvodsim
