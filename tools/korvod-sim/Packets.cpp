#include "Packets.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

namespace korvodsim {

namespace {

void appendWord(Bytes& out, uint32_t word) {
  unsigned char bytes[sizeof word];
  std::memcpy(bytes, &word, sizeof word);
  out.insert(out.end(), bytes, bytes + sizeof word);
}

void appendString(Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back('\0');
}

bool isPrintable(unsigned char byte) { return byte >= 0x20 && byte < 0x7F; }

}  // namespace

PacketHeader readHeader(ByteView bytes) {
  PacketHeader header;
  std::memcpy(&header.length, bytes.data(), 4);
  std::memcpy(&header.route, bytes.data() + 4, 4);
  std::memcpy(&header.kind, bytes.data() + 8, 4);
  std::memcpy(&header.reserved, bytes.data() + 12, 4);
  return header;
}

Bytes makePacket(uint32_t route, uint32_t kind, ByteView payload) {
  Bytes packet;
  packet.reserve(kHeaderSize + payload.size());
  appendWord(packet, static_cast<uint32_t>(kHeaderSize + payload.size()));
  appendWord(packet, route);
  appendWord(packet, kind);
  appendWord(packet, 0);
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

Bytes daemonInfoPacket(std::string_view name, std::string_view version, bool background) {
  Bytes payload;
  appendString(payload, name);
  appendString(payload, version);
  if (background) appendString(payload, "Background:true");
  return makePacket(0, kKindDaemonInfo, payload);
}

Bytes stopPacket() { return makePacket(0, kKindStop, {}); }

std::vector<ByteView> recordsOf(ByteView packet) {
  std::vector<ByteView> records;
  for (std::size_t offset = 0; offset < packet.size(); offset += kMaxRecord) {
    records.push_back(packet.subspan(offset, std::min<std::size_t>(kMaxRecord, packet.size() - offset)));
  }
  if (records.empty()) records.push_back(packet);  // an empty raw record is still one record
  return records;
}

std::string preview(ByteView bytes, std::size_t limit) {
  if (bytes.empty()) return "(none)";
  const ByteView shown = bytes.first(std::min(limit, bytes.size()));
  // Text often ends in a NUL or a line end; they do not make it binary.
  std::size_t textEnd = shown.size();
  while (textEnd > 0 && (shown[textEnd - 1] == '\0' || shown[textEnd - 1] == '\n' || shown[textEnd - 1] == '\r')) {
    --textEnd;
  }
  const bool text = textEnd > 0 && std::all_of(shown.begin(), shown.begin() + static_cast<std::ptrdiff_t>(textEnd),
                                               isPrintable);
  std::string out;
  if (text) {
    out = fmt::format("\"{}\"", std::string_view(reinterpret_cast<const char*>(shown.data()), textEnd));
  } else {
    for (std::size_t i = 0; i < shown.size(); ++i) fmt::format_to(std::back_inserter(out), "{}{:02x}", i ? " " : "", shown[i]);
  }
  if (shown.size() < bytes.size()) out += " ...";
  return out;
}

std::string describePacket(ByteView packet) {
  const PacketHeader header = readHeader(packet);
  return fmt::format("length {}, route 0x{:08x} (id {:02x}), kind {}, payload {}", header.length, header.route,
                     (header.route >> 20) & 0xFFu, header.kind, preview(packet.subspan(kHeaderSize)));
}

std::optional<std::string> clipReport(ByteView packet) {
  if (packet.size() < kHeaderSize || readHeader(packet).kind != kKindClipExported) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(packet.data()) + kHeaderSize, packet.size() - kHeaderSize);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

std::vector<PacketAssembler::Piece> PacketAssembler::addRecord(ByteView record) {
  pending.insert(pending.end(), record.begin(), record.end());
  std::vector<Piece> pieces;
  while (pending.size() >= kHeaderSize) {
    const uint32_t length = readHeader(pending).length;
    if (length < kHeaderSize) {
      pieces.push_back({std::move(pending), fmt::format("length word {} is shorter than the header", length)});
      pending.clear();
      return pieces;
    }
    if (length > pending.size()) break;
    const auto end = pending.begin() + static_cast<std::ptrdiff_t>(length);
    pieces.push_back({Bytes(pending.begin(), end), {}});
    pending.erase(pending.begin(), end);
  }
  if (record.size() < kMaxRecord && !pending.empty()) {
    std::string problem =
        pending.size() < kHeaderSize
            ? fmt::format("a record ended after {} bytes, less than a header", pending.size())
            : fmt::format("a record ended the packet after {} of {} bytes", pending.size(), readHeader(pending).length);
    pieces.push_back({std::move(pending), std::move(problem)});
    pending.clear();
  }
  return pieces;
}

std::optional<PacketAssembler::Piece> PacketAssembler::finish() {
  if (pending.empty()) return std::nullopt;
  std::string problem = fmt::format("the pipe closed in the middle of a packet, after {} bytes", pending.size());
  Piece piece{std::move(pending), std::move(problem)};
  pending.clear();
  return piece;
}

}  // namespace korvodsim
