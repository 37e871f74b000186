// The daemon pipe: packets in (daemon information, stop, packets for
// plug-ins) and "ipc" events out. Everything but sendIpc runs on the I/O
// thread.
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <cstring>
#include <new>

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

void DvrCore::onReceive(const boost::system::error_code& status, std::size_t bytes) {
  if (status || bytes == 0) {
    coreLog(100, "korvod ipc pipe disconnected");
    boost::system::error_code ignored;
    ipcSocket.close(ignored);
    pipeOpen.store(false, std::memory_order_release);
    Stop();
    return;
  }
  ipcRecvFill += static_cast<uint32_t>(bytes);
  if (processReceivedPackets()) startReceive();
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
  boost::asio::post(io, [this, packet = std::move(packet)]() mutable {
    ipcSendQueue.push_back(std::move(packet));
    if (ipcSendQueue.size() == 1) startSend();
  });
  ipcSent.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

void DvrCore::startSend() {
  if (!ipcSocket.is_open() || ipcSendQueue.empty()) return;
  sendFrom(0);
}

// Writes the front packet from `offset` on, one record of at most 64 KiB per
// send; when it is done, or a send failed, the next packet follows.
void DvrCore::sendFrom(uint32_t offset) {
  const IpcPacket& packet = ipcSendQueue.front();
  if (offset >= packet.length) {
    ipcSendQueue.pop_front();
    startSend();
    return;
  }
  const uint32_t chunk = std::min(packet.length - offset, kIpcBufferSize);
  ipcSocket.async_send(boost::asio::buffer(packet.bytes.get() + offset, chunk), 0,
                       [this, offset](const boost::system::error_code& status, std::size_t sent) {
                         if (status || sent == 0) {
                           ipcSendQueue.pop_front();  // this packet is lost, the next one is tried
                           startSend();
                           return;
                         }
                         sendFrom(offset + static_cast<uint32_t>(sent));
                       });
}

}  // namespace km::core
