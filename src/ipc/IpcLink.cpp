// The daemon pipe: packets in (daemon information, stop, packets for
// plug-ins) and "ipc" events out. Everything but sendIpc runs on the I/O
// thread.
#include <sys/socket.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "core/DvrCore.h"
#include "events/EventModel.h"
#include "ipc/DaemonInfo.h"
#include "log/CoreLog.h"
#include "plugins/Plugin.h"

namespace km::core {

namespace {

constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kKindDaemonInfo = 7;
constexpr uint32_t kKindStop = 8;

// Receives handled in one go before the next round through the reactor.
constexpr int kReceivesPerRound = 64;

// Records written by one call, and the room for packets the I/O thread keeps
// between drains.
constexpr unsigned kSendsPerCall = 64;
constexpr std::size_t kSendingKept = 4096;

// The I/O thread's direct receives must report "would block" instead of
// blocking it (its sends say so with MSG_DONTWAIT).
void makeNonBlocking(boost::asio::generic::seq_packet_protocol::socket& socket) {
  boost::system::error_code ignored;
  if (!socket.non_blocking()) socket.non_blocking(true, ignored);
}

uint32_t wordAt(const unsigned char* bytes, uint32_t offset) {
  uint32_t word;
  std::memcpy(&word, bytes + offset, sizeof word);
  return word;
}

}  // namespace

void DvrCore::startReceive() {
  ipcSocket.async_receive(boost::asio::buffer(ipcRecvBuffer.data() + ipcRecvFill, kIpcBufferSize - ipcRecvFill), 0, ipcRecvOutFlags,
                          [this](const boost::system::error_code& status, std::size_t bytes) {
                            onReceive(status, bytes);
                          });
}

void DvrCore::onReceive(const boost::system::error_code& completion, std::size_t received) {
  boost::system::error_code status = completion;
  std::size_t bytes = received;
  // Records that are already waiting are taken at once, a bounded number of
  // them, before going back through the reactor: a burst of small packets then
  // costs one receive each, and the other handlers of the I/O thread (the
  // tick, signals) still get their turn.
  for (int receives = 1;; ++receives) {
    if (status || bytes == 0) {
      coreLog(100, "korvod ipc pipe disconnected");
      boost::system::error_code ignored;
      ipcSocket.close(ignored);
      pipeOpen.store(false, std::memory_order_release);
      Stop();
      return;
    }
    ipcRecvFill += static_cast<uint32_t>(bytes);
    if (!processReceivedPackets()) return;
    if (receives == kReceivesPerRound || !ipcSocket.is_open()) break;
    makeNonBlocking(ipcSocket);
    bytes = ipcSocket.receive(boost::asio::buffer(ipcRecvBuffer.data() + ipcRecvFill, kIpcBufferSize - ipcRecvFill), 0,
                              ipcRecvOutFlags, status);
    if (status == boost::asio::error::would_block || status == boost::asio::error::try_again) break;
  }
  startReceive();
}

bool DvrCore::processReceivedPackets() {
  unsigned char* const buffer = ipcRecvBuffer.data();
  // Each packet is handed over at the start of the buffer (aligned, as
  // plug-ins may expect), but only the packet is moved there: the bytes
  // behind it are moved down once per receive, so a receive full of small
  // packets costs no more copying than one big packet.
  uint32_t consumed = 0;
  auto keepRest = [&] {
    ipcRecvFill -= consumed;
    if (ipcRecvFill != 0 && consumed != 0) std::memmove(buffer, buffer + consumed, ipcRecvFill);
  };
  while (ipcRecvFill - consumed >= kHeaderSize) {
    const unsigned char* const packet = buffer + consumed;
    const uint32_t length = wordAt(packet, 0);
    // A zero length could never be consumed: it is as bad as an over-long one.
    if (length > kIpcBufferSize || length == 0) {
      coreLog(50, "bad ipc packet length");
      ipcRecvFill = 0;
      return true;
    }
    if (length > ipcRecvFill - consumed) break;

    const uint32_t kind = wordAt(packet, 8);
    if (kind == kKindDaemonInfo) {
      if (length >= kHeaderSize) deliverDaemonInfo(packet + kHeaderSize, length - kHeaderSize);
    } else if (kind == kKindStop) {
      Stop();
    } else {
      // Until the plug-ins are open, packets for them wait in the buffer.
      if (!ipcRoutesReady) {
        ipcReceivePaused = true;
        keepRest();
        return false;
      }
      const uint32_t routeId = (wordAt(packet, 4) >> 20) & 0xFFu;
      for (const PluginPtr& plugin : ipcRoutes) {
        if (!plugin->hasId() || pluginIdOf(plugin->idWord()) != routeId) continue;
        if (consumed != 0 && length >= kHeaderSize) {
          // Only bytes already consumed lie in front of it: the move (which
          // may overlap the packet itself) leaves the bytes behind it alone.
          std::memmove(buffer, packet, length);
        } else if (consumed != 0) {
          // Shorter than its own header: the header's last bytes are those of
          // the packets behind it, so they all come to the front with it.
          keepRest();
          consumed = 0;
        }
        plugin->deliverIpcResult(length, buffer);
        ipcDelivered.fetch_add(1, std::memory_order_relaxed);
        ipcDeliveredBytes.fetch_add(length, std::memory_order_relaxed);
        break;
      }
    }
    consumed += length;
  }
  keepRest();
  return true;
}

void DvrCore::deliverDaemonInfo(const unsigned char* payload, uint32_t size) {
  const DaemonInfo info = parseDaemonInfo(payload, size);
  if (info.background) background.store(true, std::memory_order_relaxed);
  std::lock_guard guard(daemonInfoMutex);
  if (info.version) daemonVersion = *info.version;
  if (info.fileName) daemonFilename = *info.fileName;
}

std::string DvrCore::daemonFilenameCopy() const {
  std::lock_guard guard(daemonInfoMutex);
  return daemonFilename;
}

std::string DvrCore::daemonVersionCopy() const {
  std::lock_guard guard(daemonInfoMutex);
  return daemonVersion;
}

int32_t DvrCore::sendIpc(const EventParms& e) {
  if (!ipcPipeOpen()) return 1;
  IpcPacket packet;
  packet.length = e.length;
  if (e.length) {
    packet.bytes.reset(new (std::nothrow) unsigned char[e.length]);
    if (!packet.bytes) return 1;
    std::memcpy(packet.bytes.get(), e.payload, e.length);
  }
  bool wake;
  try {
    std::lock_guard guard(ipcOutboxMutex);
    ipcOutbox.push_back(std::move(packet));
    wake = !std::exchange(ipcDraining, true);
  } catch (const std::bad_alloc&) {
    return 1;
  }
  // Only the first packet of a drain wakes the I/O thread; it takes whatever
  // has joined the outbox by the time it gets there.
  if (wake) boost::asio::post(io, [this] { startSend(); });
  ipcSent.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

// Writes the outbox for as long as the socket takes it without waiting: runs
// of whole records go out up to kSendsPerCall per call, a packet above 64 KiB
// as records of at most 64 KiB each. When the socket is full it waits until
// it is writable and goes on from the same byte. A packet whose send failed
// is dropped and the next one follows; once the pipe is closed, everything
// left is dropped.
void DvrCore::startSend() {
  auto nextPacket = [this] {
    ipcSendQueue[ipcSendNext++].bytes.reset();
    ipcSendOffset = 0;
  };
  for (;;) {
    if (ipcSendNext == ipcSendQueue.size()) {
      ipcSendQueue.clear();
      ipcSendNext = 0;
      // A burst leaves no lasting footprint.
      if (ipcSendQueue.capacity() > kSendingKept) std::vector<IpcPacket>().swap(ipcSendQueue);
      std::lock_guard guard(ipcOutboxMutex);
      ipcSendQueue.swap(ipcOutbox);
      if (ipcSendQueue.empty()) {
        ipcDraining = false;
        return;
      }
    }
    if (!ipcSocket.is_open()) {
      ipcSendNext = ipcSendQueue.size();
      ipcSendOffset = 0;
      continue;
    }
    IpcPacket& packet = ipcSendQueue[ipcSendNext];
    if (ipcSendOffset >= packet.length) {  // written, or empty
      nextPacket();
      continue;
    }
    const int fd = ipcSocket.native_handle();
    ssize_t result;
    if (ipcSendOffset == 0 && packet.length <= kIpcBufferSize) {
      mmsghdr records[kSendsPerCall];
      iovec parts[kSendsPerCall];
      unsigned count = 0;
      for (std::size_t i = ipcSendNext; i < ipcSendQueue.size() && count < kSendsPerCall; ++i, ++count) {
        const IpcPacket& next = ipcSendQueue[i];
        if (next.length == 0 || next.length > kIpcBufferSize) break;
        parts[count] = {next.bytes.get(), next.length};
        records[count] = {};
        records[count].msg_hdr.msg_iov = &parts[count];
        records[count].msg_hdr.msg_iovlen = 1;
      }
      do {
        result = ::sendmmsg(fd, records, count, MSG_NOSIGNAL | MSG_DONTWAIT);
      } while (result < 0 && errno == EINTR);
      if (result > 0) {
        for (ssize_t i = 0; i < result; ++i) ipcSendQueue[ipcSendNext + static_cast<std::size_t>(i)].bytes.reset();
        ipcSendNext += static_cast<std::size_t>(result);
        continue;
      }
    } else {
      const uint32_t chunk = std::min(packet.length - ipcSendOffset, kIpcBufferSize);
      do {
        result = ::send(fd, packet.bytes.get() + ipcSendOffset, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
      } while (result < 0 && errno == EINTR);
      if (result > 0) {
        ipcSendOffset += static_cast<uint32_t>(result);
        continue;
      }
    }
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      ipcSocket.async_wait(boost::asio::socket_base::wait_write,
                           [this](const boost::system::error_code&) { startSend(); });
      return;
    }
    nextPacket();  // this packet is lost; the next one is tried
  }
}

}  // namespace km::core
