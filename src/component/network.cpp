#include "component/network.h"

#include "component/thread_block.h"
#include "engine/engine.h"
#include "relevance/input_relevance.h"
#include "training/training_run.h"

// The methods that take options are in run_options.cpp, which the Windows
// component is built without.

namespace kelda {

void RefuseWhileNetworkInUse(std::string_view call) { RefuseWhileInUse(ThisThread(), call); }

Network::Network() : fields_(std::make_unique<training::ObjectFields>()) {
  ThreadBlock& block = ThisThread();
  if (block.in_use != nullptr) {
    block.reset_pending = true;  // NetworkInUse applies it when the use ends
  } else {
    engine::ClassInitialize(block.network);
  }
}

Network::~Network() = default;

const std::string& Network::MSAccessDBName() const { return fields_->MSAccessDBName; }
void Network::SetMSAccessDBName(std::string path) { fields_->MSAccessDBName = std::move(path); }
const std::string& Network::MSAccessTableName() const { return fields_->MSAccessTableName; }
void Network::SetMSAccessTableName(std::string name) {
  fields_->MSAccessTableName = std::move(name);
}
int32_t Network::Epochs() const { return fields_->Epochs; }
void Network::SetEpochs(int32_t epochs) { fields_->Epochs = epochs; }
int16_t Network::HiddenLayerCount() const { return fields_->HiddenLayerCount; }
void Network::SetHiddenLayerCount(int16_t count) { fields_->HiddenLayerCount = count; }

const training::ObjectFields& Network::Fields() const { return *fields_; }

int32_t Network::EpochsRun() const { return epochs_run_; }
bool Network::Converged() const { return converged_; }

void Network::RunNetwork() {
  ThreadBlock& block = ThisThread();
  NetworkInUse use(block, "RunNetwork");
  block.trained_by = fields_.get();
  // A run that fails before it has begun an epoch reports none, not an
  // earlier run's.
  block.progress = training::RunProgress{0, fields_->Epochs};
  training::ThreadServices services{block.network, block.DBEngine(), block.status,
                                    block.yield,   block.yield_use,  block.progress};
  try {
    training::RunNetwork(services, *fields_);
  } catch (...) {
    epochs_run_ = block.progress.epoch;
    converged_ = block.progress.converged;
    throw;
  }
  epochs_run_ = block.progress.epoch;
  converged_ = block.progress.converged;
}

Value Network::ShowStatus() {
  ThisThread().status.Show();
  return Value();
}

std::optional<std::vector<double>> Network::InputRelevance() {
  ThreadBlock& block = ThisThread();
  NetworkInUse use(block, "InputRelevance");
  return relevance::InputRelevance(block.DBEngine(), block.network, *fields_);
}

std::vector<std::string> Network::InputColumnNames() const {
  std::vector<std::string> names;
  if (!fields_->InputNames.IsDimensioned()) return names;
  const int32_t count = fields_->InputColumnCount();
  for (int32_t i = 0; i < count; ++i) {
    const Value& name = fields_->InputNames(i);
    names.push_back(name.IsText() ? name.text() : std::string());
  }
  return names;
}

}  // namespace kelda
