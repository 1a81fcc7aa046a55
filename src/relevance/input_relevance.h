// Input relevance: how much error the trained network makes on the example
// rows when one input column at a time is withheld (set to the bottom of its
// range), one score per input column in table order.
#pragma once

#include <optional>
#include <vector>

#include "data/database.h"
#include "engine/network_state.h"
#include "training/object_fields.h"

namespace kelda::relevance {

// Scores every input column of the table of the last training run of
// `fields`, with the network last trained on this thread (`net`). While it
// works, `Actual` holds predictions made with one input withheld; at its end
// every counted row gets the normal prediction again. Returns nullopt, opening
// nothing, when MSAccessDBName is empty. Raises 9 when no training run has
// set up `fields`, 3197 before anything is written when another program has
// vacuumed the file or changed its schema since that run (its rows' keys
// and columns no longer hold), and the errors of the write-back.
std::optional<std::vector<double>> InputRelevance(data::DBEngine& engine, engine::NetworkState& net,
                                                  training::ObjectFields& fields);

// The score a row adds for input i: |a - t| when the prediction a with input i
// withheld lies above both the target t and the input's reference level, or
// below the target and at or below the reference level; otherwise 0.
double RowScore(double reference_level, double a, double t);

}  // namespace kelda::relevance
