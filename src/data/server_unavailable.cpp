// The database layer of a build without the server engine (the Windows
// component): server names are refused with a text that says why.
#include "base/error.h"
#include "data/backend.h"
#include "data/server_name.h"

namespace kelda::data {

std::shared_ptr<DatabaseBackend> OpenServerDatabase(const std::string& name,
                                                    std::chrono::milliseconds, StatementObserver,
                                                    InterruptCheck) {
  Raise(kErrConnectionFailed,
        StandardErrorText(kErrConnectionFailed) + ": '" + ShownName(name) +
            "' names a database server, and this build reads SQLite database files only. "
            "Give the path of a database file.");
}

}  // namespace kelda::data
