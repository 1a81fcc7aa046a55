// The database layer of a build without the server engine (the Windows
// component): server names are refused with a text that says why.
#include "base/error.h"
#include "data/backend.h"
#include "data/server_name.h"

namespace kelda::data {

std::shared_ptr<DatabaseBackend> OpenServerDatabase(const std::string& name,
                                                    std::chrono::milliseconds, StatementObserver,
                                                    InterruptCheck) {
  RequireFileName(name);  // raises: every name that reaches here is a server's
  Raise(kErrConnectionFailed);
}

}  // namespace kelda::data
