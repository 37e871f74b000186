#include "core/DvrCore.h"

namespace km::core {

int32_t DvrCore::cryptoRequest(EventParms&) { return -1; }

}  // namespace km::core
