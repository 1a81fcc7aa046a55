#include "component/network.h"

#include "component/thread_block.h"
#include "engine/engine.h"
#include "relevance/input_relevance.h"
#include "training/training_run.h"

namespace kelda {

Network::Network() { engine::ClassInitialize(ThisThread().network); }

void Network::RunNetwork() {
  ThreadBlock& block = ThisThread();
  training::ThreadServices services{block.network, block.DBEngine(), block.status, block.yield,
                                    block.progress};
  training::RunNetwork(services, fields_);
}

Value Network::ShowStatus() {
  ThisThread().status.Show();
  return Value();
}

std::optional<std::vector<double>> Network::InputRelevance() {
  ThreadBlock& block = ThisThread();
  return relevance::InputRelevance(block.DBEngine(), block.network, fields_);
}

}  // namespace kelda
