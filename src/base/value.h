// Value belongs to the public interface (what ShowStatus returns); the public
// header is its one definition. Included by path so that builds which know
// only src/ (the Windows cross build) find it too.
#pragma once

#include "../../include/kelda/value.h"
