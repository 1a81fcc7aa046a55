// What a call of this subsystem does with the WorkOptions it is given.
#pragma once

#include <kelda/run_options.h>

#include "data/new_tables.h"

namespace kelda::import {

// How new tables are written for a call with `work`: on a connection of
// their own (data::MakeNewTables), which waits for locks as the thread's
// engine would for the call (work's busy timeout where given, a negative one
// as none) and stops at work's cancel.
data::NewTablesOptions WriteOptions(const WorkOptions& work);

}  // namespace kelda::import
