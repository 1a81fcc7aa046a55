"""kelda: trains a feed-forward network on a database table and predicts with it.

    import kelda
    net = kelda.Network()
    net.database, net.table, net.epochs = "houses.db", "Houses", 500
    net.run(seed=1)
    print(net.input_relevance())
"""


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
    Network,
    SavedNetwork,
    StatusPicture,
    __version__,
    load_network,
    predict,
    save_network,
)

__all__ = ["Error", "Network", "SavedNetwork", "StatusPicture", "load_network", "predict",
           "save_network", "__version__"]
