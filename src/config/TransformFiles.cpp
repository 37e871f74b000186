// Transform's file and stream operations: save with verification, load, and
// the whole-file forms the transform tool uses.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "config/CryptoPrimitives.h"
#include "config/Transform.h"

namespace km::core {

namespace {

struct FileClose {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

File openFile(const char* path, const char* mode) noexcept { return File(path ? std::fopen(path, mode) : nullptr); }

// Closes a stream that was written: buffered bytes that cannot be flushed
// are a failed write.
bool closeWritten(File& file) noexcept { return std::fclose(file.release()) == 0; }

// The size of a file by seeking to its end and back to its start.
bool sizeByStream(std::FILE* file, uint64_t& size) noexcept {
  if (fseeko(file, 0, SEEK_END) != 0) return false;
  const off_t end = ftello(file);
  if (end < 0 || fseeko(file, 0, SEEK_SET) != 0) return false;
  size = static_cast<uint64_t>(end);
  return true;
}

bool locate(const char* path, int32_t& detail) noexcept {
  struct stat status;
  if (path && ::stat(path, &status) == 0) return true;
  detail = path ? errno : EFAULT;
  return false;
}

void setDetail(int32_t* detail, int32_t value) noexcept {
  if (detail) *detail = value;
}

}  // namespace

int32_t Transform::save(const char* path, const void* input, uint32_t length, int32_t* detail) noexcept {
  setDetail(detail, 0);
  File out = openFile(path, "wb");
  if (!out) return kCreateFailed;
  int32_t verification = 0;
  int32_t result = saveToStream(input, length, out.get(), verification, detail);
  if (!closeWritten(out) && result == kTransformOk) result = kWriteFailed;
  return result;
}

int32_t Transform::saveToStream(const void* input, uint32_t length, std::FILE* out, int32_t& verification,
                                int32_t* detail) noexcept {
  verification = 0;
  setDetail(detail, 0);
  uint32_t encodedLength = length;
  int32_t error = kTransformOk;
  int32_t zlibStatus = 0;
  const uint8_t* encoded = encode(input, encodedLength, error, zlibStatus);
  if (!encoded) {
    setDetail(detail, zlibStatus);
    return error;
  }

  // Decoding reuses the buffer, so the encoded bytes wait in a copy.
  crypto::WipedBuffer copy(encodedLength);
  if (!copy) {
    verification = 1;
    return kVerifyMemory;
  }
  std::memcpy(copy.data(), encoded, encodedLength);

  uint32_t decodedLength = encodedLength;
  int32_t decodeError = kTransformOk;
  const uint8_t* decoded = decode(copy.data(), decodedLength, decodeError, zlibStatus);
  if (!decoded) {
    verification = 1;
    setDetail(detail, zlibStatus);
    return decodeError;
  }
  if (decodedLength != length) {
    verification = 1;
    return kVerifySizeMismatch;
  }
  if (std::memcmp(decoded, input, length) != 0) {
    verification = 1;
    return kVerifyDataMismatch;
  }

  if (!out) return kCreateFailed;
  if (std::fwrite(copy.data(), 1, encodedLength, out) != encodedLength) return kWriteFailed;
  return error;
}

int32_t Transform::saveFile(const char* inPath, const char* outPath, int32_t* detail) noexcept {
  int32_t located = 0;
  setDetail(detail, 0);
  if (!locate(inPath, located)) {
    setDetail(detail, located);
    return kLocateFailed;
  }
  File in = openFile(inPath, "rb");
  if (!in) return kOpenFailed;
  uint64_t size = 0;
  if (!sizeByStream(in.get(), size)) return kSizeFailed;
  File out = openFile(outPath, "wb");
  if (!out) return kOpenFailed;

  if (size > UINT32_MAX) return kAllocFailed;
  crypto::WipedBuffer plain(size);
  if (!plain) return kAllocFailed;
  if (size != 0 && std::fread(plain.data(), 1, size, in.get()) != size) return kReadFailed;
  in.reset();

  int32_t verification = 0;
  int32_t result = saveToStream(plain.data(), static_cast<uint32_t>(size), out.get(), verification, detail);
  if (!closeWritten(out) && result == kTransformOk) result = kWriteFailed;
  return result;
}

const uint8_t* Transform::load(const char* path, uint32_t& length, int32_t& error, int32_t& detail) noexcept {
  length = 0;
  error = kTransformOk;
  detail = 0;
  if (!locate(path, detail)) {
    error = kLocateFailed;
    return nullptr;
  }
  File in = openFile(path, "rb");
  if (!in) {
    error = kOpenFailed;
    return nullptr;
  }
  uint64_t size = 0;
  if (!sizeByStream(in.get(), size)) {
    error = kSizeFailed;
    return nullptr;
  }
  return loadFromStream(in.get(), size, length, error, &detail);
}

const uint8_t* Transform::loadFromStream(std::FILE* in, uint64_t size, uint32_t& length, int32_t& error,
                                         int32_t* detail) noexcept {
  length = 0;
  error = kTransformOk;
  setDetail(detail, 0);
  if (!in) {
    error = kReadFailed;
    return nullptr;
  }
  if (size == 0) {
    if (!buffer || capacity == 0) {
      error = kBufferInvalid;
      return nullptr;
    }
    buffer[0] = 0;
    return buffer;
  }
  if (size > UINT32_MAX) {
    error = kAllocFailed;
    return nullptr;
  }
  // Without encryption the stored bytes are the plain data (or its
  // compressed form): the copy is wiped like any plain scratch.
  crypto::WipedBuffer stored(size);
  if (!stored) {
    error = kAllocFailed;
    return nullptr;
  }
  if (std::fread(stored.data(), 1, size, in) != size) {
    error = kReadFailed;
    return nullptr;
  }
  uint32_t decodedLength = static_cast<uint32_t>(size);
  int32_t zlibStatus = 0;
  const uint8_t* decoded = decode(stored.data(), decodedLength, error, zlibStatus);
  if (!decoded) {
    setDetail(detail, zlibStatus);
    return nullptr;
  }
  length = decodedLength;
  return decoded;
}

int32_t Transform::loadToFile(const char* inPath, const char* outPath, int32_t* detail) noexcept {
  uint32_t length = 0;
  int32_t error = kTransformOk;
  int32_t loadDetail = 0;
  const uint8_t* plain = load(inPath, length, error, loadDetail);
  setDetail(detail, loadDetail);
  if (!plain) return error;
  File out = openFile(outPath, "wb");
  if (!out) return kCreateFailed;
  const bool written = length == 0 || std::fwrite(plain, 1, length, out.get()) == length;
  const bool closed = closeWritten(out);
  return written && closed ? kTransformOk : kWriteFailed;
}

int32_t Transform::loadStreamToStream(std::FILE* in, std::FILE* out, uint64_t size, int32_t* detail) noexcept {
  setDetail(detail, 0);
  if (!in) return kOpenFailed;
  if (!out) return kCreateFailed;
  uint32_t length = 0;
  int32_t error = kTransformOk;
  const uint8_t* plain = loadFromStream(in, size, length, error, detail);
  if (!plain) return error;
  if (length != 0 && std::fwrite(plain, 1, length, out) != length) return kWriteFailed;
  return kTransformOk;
}

}  // namespace km::core
