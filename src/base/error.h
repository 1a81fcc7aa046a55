// The runtime's one error type and its numbers belong to the public
// interface; the public header is their one definition. Included by path so
// that builds which know only src/ (the Windows cross build) find it too.
#pragma once

#include "../../include/kelda/error.h"
