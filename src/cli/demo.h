// The demo: a sample database of house sales, a training run on it, and what
// the run found — how much each input matters and the prices it predicts for
// the houses whose price is not known yet.
#pragma once

#include <string>

#include "cli/commands.h"

namespace kelda::cli {

inline constexpr const char* kDemoTable = "Houses";
inline constexpr const char* kDemoDatabaseName = "houses.db";
inline constexpr const char* kDemoNetworkName = "houses-network.json";
inline constexpr const char* kDemoStatusPictureName = "status.png";
// Rows with a known price, followed by the rows whose price is Null.
inline constexpr int kDemoPricedRows = 392;
inline constexpr int kDemoUnpricedRows = 8;

// Writes the sample database `dir`/houses.db (the folder is created when
// missing; a database of that name written before is replaced) and returns
// its path. Table Houses: FloorArea and GardenArea (m²), HouseNumber (no
// bearing on the price), Price (thousands; Null in the last rows). The same
// rows every time. Raises 75 when the folder or an earlier file cannot be
// made or removed, and the database's errors (kelda::MakeNewTable) when the
// file cannot be written.
std::string WriteDemoDatabase(const std::string& dir);

// Writes the database, trains on it (fixed seed) saving the network and a
// picture of the status window beside it, and prints the relevance and some
// of the predictions.
void RunDemo(const std::string& dir, Console& console);

}  // namespace kelda::cli
