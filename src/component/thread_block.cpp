#include "component/thread_block.h"

namespace kelda {

ThreadBlock& ThisThread() {
  thread_local ThreadBlock block;
  return block;
}

}  // namespace kelda
