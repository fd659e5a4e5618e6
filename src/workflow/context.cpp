#include "workflow/context.h"

namespace vqr {

std::string DefaultUpdateServerBase() {
  return VQR_UPDATE_SERVER_BASE;
}

}  // namespace vqr
