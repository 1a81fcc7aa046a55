// The network file (kelda/network_file.h), and what the runtime's own code
// needs of it besides: a capture from the engine's state and a prediction
// with a database engine of the caller's choice.
#pragma once

#include <cstdint>
#include <string>

#include "../../include/kelda/network_file.h"
#include "data/database.h"
#include "engine/network_state.h"
#include "training/object_fields.h"

namespace kelda {

// The network and column ranges of the last training run of `fields`, with
// `net` the network of the thread it ran on. Raises as CaptureNetwork of a
// Network does.
SavedNetwork CaptureNetwork(const engine::NetworkState& net, const training::ObjectFields& fields);

// Predict (kelda/network_file.h) with `engine` as the database engine.
int64_t Predict(data::DBEngine& engine, const SavedNetwork& network, const std::string& db_path,
                const std::string& table);

}  // namespace kelda
