"""kelda: trains a feed-forward network on a database table and predicts with it.

    import kelda
    net = kelda.Network()
    net.database, net.table, net.epochs = "houses.db", "Houses", 500
    net.run(seed=1)
    print(net.input_relevance())
"""


import os
import sqlite3


class Error(Exception):
    """A failure of the runtime, with the number the C++ API raises and a description."""

    def __init__(self, number, description):
        super().__init__(number, description)
        self.number = number
        self.description = description

    def __str__(self):
        return f"error {self.number}: {self.description}"


from . import _kelda  # noqa: E402

_kelda._register_error(Error)

from ._kelda import (  # noqa: E402
    CancelToken,
    Network,
    SavedNetwork,
    StatusPicture,
    __version__,
    load_network,
    predict,
    save_network,
)

_SQL_EXTENSION = "libkelda-sql.so"


def _sql_extension_candidates():
    here = os.path.dirname(os.path.abspath(_kelda.__file__))
    return [
        # installed: the library folder
        os.path.normpath(os.path.join(here, _kelda._libdir_from_package, _SQL_EXTENSION)),
        # the build folder, where the package is built in python/kelda
        os.path.normpath(os.path.join(here, os.pardir, os.pardir, _SQL_EXTENSION)),
        # the system's library path
        _SQL_EXTENSION,
    ]


def enable_sql(connection):
    """Adds kelda_predict(network_file, input1, ...) to the sqlite3 connection `connection`.

    The function gives, for one row, the number `kelda predict` stores in `Actual` for it; a bad
    call is an sqlite3.OperationalError whose text begins "kelda: error N:". Loading extensions
    is turned off again afterwards."""
    if not hasattr(connection, "enable_load_extension"):
        raise sqlite3.NotSupportedError("this Python's sqlite3 module cannot load extensions")
    failures = []
    connection.enable_load_extension(True)
    try:
        for candidate in _sql_extension_candidates():
            if os.sep in candidate and not os.path.exists(candidate):
                continue
            try:
                connection.load_extension(candidate)
                return
            except sqlite3.OperationalError as e:
                failures.append(f"{candidate}: {e}")
    finally:
        connection.enable_load_extension(False)
    raise sqlite3.OperationalError("cannot load the kelda SQL extension: " + "; ".join(failures))


__all__ = ["CancelToken", "Error", "Network", "SavedNetwork", "StatusPicture", "enable_sql", "load_network",
           "predict", "save_network", "__version__"]
