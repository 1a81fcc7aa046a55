// Builds without a window toolkit: the status window exists only as a model.
#include "status/headless_renderer.h"

namespace kelda::status {

std::unique_ptr<Renderer> NewPlatformRenderer() { return std::make_unique<HeadlessRenderer>(); }

}  // namespace kelda::status
