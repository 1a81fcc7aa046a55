#include "component/thread_block.h"

#include <string>

#include "base/error.h"
#include "engine/engine.h"

namespace kelda {

ThreadBlock& ThisThread() {
  thread_local ThreadBlock block;
  return block;
}

void RefuseWhileInUse(const ThreadBlock& block, std::string_view call) {
  if (block.in_use == nullptr) return;
  // Served, a nested call would retrain or overwrite the network and the
  // predictions of the call under way, whose loop then carries on with them.
  Raise(kErrInvalidOperation, StandardErrorText(kErrInvalidOperation) + ": " + std::string(call) +
                                  " was called while " + block.in_use +
                                  " is in progress on this thread (from code run at one of its "
                                  "yields); call it after " +
                                  block.in_use + " has returned");
}

NetworkInUse::NetworkInUse(ThreadBlock& block, const char* call) : block_(block) {
  RefuseWhileInUse(block, call);
  block_.in_use = call;
}

NetworkInUse::~NetworkInUse() {
  block_.in_use = nullptr;
  if (block_.reset_pending) {
    block_.reset_pending = false;
    engine::ClassInitialize(block_.network);
  }
}

}  // namespace kelda
