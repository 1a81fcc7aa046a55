// `kelda import`: the report the tool prints for an import (the import
// itself is kelda/import.h).
#pragma once

#include <kelda/import.h>

#include <ostream>

namespace kelda::cli {

// What the import made, in two lines; a server's name with its password
// masked.
void PrintImportReport(const ImportOptions& options, const ImportReport& report, std::ostream& out);

}  // namespace kelda::cli
