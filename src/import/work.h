// What a call of this subsystem does with the WorkOptions it is given.
#pragma once

#include <kelda/run_options.h>

namespace kelda::import {

// Raises 18 ("User interrupt occurred") once work.cancel returns true; for
// the loops of the subsystem's own that read no database.
void CheckCancel(const WorkOptions& work);

}  // namespace kelda::import
