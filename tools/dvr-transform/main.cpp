// dvr-transform: makes and reads transformed files on a workstation, with the
// recorder's own codec, so that files stored on a device can be read given
// its identity text.
//
//   dvr-transform encode|decode [--compress] [--no-encrypt]
//                 [--key-text TEXT | --identity-text TEXT] IN OUT
//
// Exit status: 0 done, 1 the transform failed (its message on standard
// error), 2 bad usage.
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/CryptoPrimitives.h"
#include "config/Transform.h"

namespace {

using km::core::Transform;

enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

constexpr const char* kUsage = "Usage: dvr-transform encode|decode [options] IN OUT\n";

constexpr const char* kHelp =
    "\n"
    "encode makes the transformed file OUT from the file IN; decode turns the\n"
    "transformed file IN back into OUT. Decode with the options and key that\n"
    "encoded the file.\n"
    "\n"
    "Options:\n"
    "  --compress            deflate the data (zlib) before it is encrypted\n"
    "  --no-encrypt          store the data without encryption\n"
    "  --key-text TEXT       key: the first 16 bytes of TEXT, zero-padded\n"
    "  --identity-text TEXT  key: the one a recorder derives from its device\n"
    "                        identity TEXT (the SHA-256 digest of TEXT); the\n"
    "                        built-in key when TEXT is empty\n"
    "  -h, --help            show this help\n"
    "\n"
    "Without a key option the built-in key is used. Encrypted data without\n"
    "--compress comes back cut at its first zero byte, so encode refuses such\n"
    "files; use --compress for binary files.\n"
    "\n"
    "Exit status: 0 done, 1 the transform failed, 2 bad usage.\n";

struct Options {
  bool encode = true;
  bool compress = false;
  bool encrypt = true;
  std::optional<std::string> keyText;
  std::optional<std::string> identityText;
  std::string in;
  std::string out;
};

struct UsageError {
  std::string message;
};

// Options and operands in any order after the command; "--" ends options.
Options parse(const std::vector<std::string_view>& args) {
  if (args.empty()) throw UsageError{"missing command"};
  Options options;
  if (args[0] == "encode") {
    options.encode = true;
  } else if (args[0] == "decode") {
    options.encode = false;
  } else {
    throw UsageError{"unknown command '" + std::string(args[0]) + "'"};
  }

  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg.substr(0, 2) != "--") {
      operands.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    auto value = [&]() -> std::string {
      if (equals != std::string_view::npos) return std::string(arg.substr(equals + 1));
      if (i + 1 >= args.size()) throw UsageError{"option " + std::string(name) + " needs a value"};
      return std::string(args[++i]);
    };
    if (name == "--key-text") {
      options.keyText = value();
    } else if (name == "--identity-text") {
      options.identityText = value();
    } else if (equals != std::string_view::npos) {
      throw UsageError{"option " + std::string(name) + " takes no value"};
    } else if (name == "--compress") {
      options.compress = true;
    } else if (name == "--no-encrypt") {
      options.encrypt = false;
    } else {
      throw UsageError{"unknown option " + std::string(arg)};
    }
  }
  if (options.keyText && options.identityText) throw UsageError{"--key-text and --identity-text exclude each other"};
  if (operands.size() != 2) throw UsageError{"expected IN and OUT"};
  options.in = operands[0];
  options.out = operands[1];
  return options;
}

uint64_t fileSize(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && status.st_size > 0 ? static_cast<uint64_t>(status.st_size) : 0;
}

uint32_t clampCapacity(uint64_t capacity) {
  return capacity > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(capacity);
}

// Encoding needs room for the deflated data (which can be a little larger
// than its input), its padding, and behind it the copy that verification
// inflates.
uint32_t encodeCapacity(const Options& options, uint64_t size) {
  uint64_t capacity = Transform::requiredCapacity(size);
  if (options.compress) {
    const uint64_t bound = compressBound(static_cast<uLong>(size));
    const uint64_t needed = options.encrypt ? bound + 3 * Transform::kBlockSize + size + 1 : bound;
    if (needed > capacity) capacity = needed;
  }
  return clampCapacity(capacity);
}

void printFailure(int32_t code, int32_t detail) {
  std::string text;
  km::core::transformMessage(code, detail, text);
  std::fprintf(stderr, "dvr-transform: %s\n", text.c_str());
}

int run(const Options& options) {
  Transform transform(options.compress, options.encrypt);
  if (options.keyText) transform.setKey(*options.keyText, false);
  if (options.identityText && !km::core::setIdentityKey(transform, *options.identityText)) {
    std::fprintf(stderr, "dvr-transform: cannot derive the key from the identity text\n");
    return kExitFailed;
  }

  const uint64_t size = fileSize(options.in);
  // How much the inflated data needs is known only afterwards: start with
  // room for five times the stored size and double the room while zlib says
  // the buffer is too small.
  uint64_t capacity = options.encode ? encodeCapacity(options, size)
                      : options.compress ? size + 4 * size + 65536
                                         : size + 1;
  for (;;) {
    km::core::crypto::WipedBuffer buffer(clampCapacity(capacity));
    if (!buffer) {
      std::fprintf(stderr, "dvr-transform: not enough memory for %s\n", options.in.c_str());
      return kExitFailed;
    }
    transform.buffer = buffer.data();
    transform.capacity = static_cast<uint32_t>(buffer.size());
    int32_t detail = 0;
    const int32_t result = options.encode ? transform.saveFile(options.in.c_str(), options.out.c_str(), &detail)
                                          : transform.loadToFile(options.in.c_str(), options.out.c_str(), &detail);
    if (result == km::core::kTransformOk) return kExitOk;
    const bool retry = !options.encode && result == km::core::kDecompressBuffer && capacity < UINT32_MAX;
    if (!retry) {
      printFailure(result, detail);
      return kExitFailed;
    }
    capacity = size + 2 * (capacity - size);
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    for (const std::string_view arg : args) {
      if (arg == "--") break;
      if (arg == "-h" || arg == "--help") {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return kExitOk;
      }
    }
    const Options options = parse(args);
    return run(options);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "dvr-transform: %s\n%sTry 'dvr-transform --help'.\n", error.message.c_str(), kUsage);
    return kExitUsage;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "dvr-transform: %s\n", error.what());
    return kExitFailed;
  }
}
