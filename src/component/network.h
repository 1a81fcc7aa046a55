// The Network class is public (kelda/network.h); the runtime's own code also
// sees the type of its fields. Included by path so that builds which know
// only src/ (the Windows cross build) find it too.
#pragma once

#include "../../include/kelda/network.h"
#include "training/object_fields.h"
