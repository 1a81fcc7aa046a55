// kelda._kelda: the runtime for Python. The package kelda (kelda/__init__.py)
// re-exports it and defines kelda.Error, into which every kelda::Error is
// turned with its number and description.
//
// A Network uses the network, database engine and status window of the
// thread that created it, so it is called only on that thread; another
// Python thread makes a Network of its own. A run releases the GIL while it
// trains and takes it back for the progress callback, or, without one, to
// look for a signal (Ctrl-C) now and then.
//
// Paths and names go to C APIs that end a string at its first NUL, so one
// holding a NUL is refused rather than cut short.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include <kelda/error.h>
#include <kelda/network.h>
#include <kelda/network_file.h>
#include <kelda/run_options.h>
#include <kelda/status_picture.h>

namespace py = pybind11;

namespace kelda::python {
namespace {

// kelda.Error, handed over by kelda/__init__.py once it is defined. Kept for
// the life of the process, like the module itself.
PyObject* error_class = nullptr;

void RegisterError(py::object cls) { error_class = cls.release().ptr(); }

void TranslateError(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const Error& e) {
    if (error_class == nullptr) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
      return;
    }
    py::object error = py::reinterpret_borrow<py::object>(error_class)(e.Number(), e.Description());
    PyErr_SetObject(error_class, error.ptr());
  }
}

// `text`; raises ValueError naming `what` when it holds a NUL.
const std::string& NoNul(const std::string& text, std::string_view what) {
  if (text.find('\0') != std::string::npos) {
    throw py::value_error(std::string(what) + " contains a NUL character");
  }
  return text;
}

// How often a run without a progress callback takes the GIL to let Python
// run its signal handlers: often enough that Ctrl-C feels immediate, seldom
// enough that the run does not wait on other Python threads for the GIL.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};

class PyNetwork {
 public:
  PyNetwork() : owner_(std::this_thread::get_id()), network_(std::make_unique<Network>()) {}

  Network& Get() const {
    if (std::this_thread::get_id() != owner_) {
      throw py::value_error(
          "a kelda.Network is used only on the thread that created it; make one in this thread");
    }
    return *network_;
  }

  // A callback that raises stops the run at that yield with error 18, which
  // ends the run like any other error (every handle released, each committed
  // row as written); the callback's own exception then reaches the caller.
  // Without a callback, a signal handler that raises (KeyboardInterrupt on
  // Ctrl-C) stops the run the same way, and its exception reaches the
  // caller. A cancelled token stops it with kelda.Error 18; the token is
  // asked without the GIL, inside long database statements too. Called from
  // a callback while a run is in progress on the thread, raises kelda.Error
  // 3219 and leaves everything as it was.
  void Run(py::object progress, std::optional<uint64_t> seed, std::optional<CancelToken> cancel) {
    Network& network = Get();
    RefuseWhileNetworkInUse("run()");
    // As the tool refuses it: no epoch would run, and every Actual would
    // still be overwritten with an untrained network's predictions.
    if (network.Epochs() < 0) {
      throw py::value_error("epochs must be 0 or more to run, not " +
                            std::to_string(network.Epochs()));
    }
    // The Python exception that stopped the run. Kept here rather than
    // thrown through the run, so that it is released with the GIL held.
    std::optional<py::error_already_set> raised;
    RunOptions options;
    options.seed = seed;
    if (cancel) options.cancel = *cancel;
    if (progress.is_none()) {
      options.progress = [&raised,
                          last = std::chrono::steady_clock::now()](const RunProgress&) mutable {
        const auto now = std::chrono::steady_clock::now();
        if (now - last < kSignalCheckInterval) return;
        last = now;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) {
          raised.emplace();  // takes the handler's exception
          Raise(kErrUserInterrupt,
                StandardErrorText(kErrUserInterrupt) + ": a signal handler raised");
        }
      };
      // Signal handlers are the caller's to answer for; the run's commits
      // need not make way for them.
      options.progress_writes_database = false;
    } else {
      options.progress = [&progress, &raised](const RunProgress& at) {
        py::gil_scoped_acquire gil;
        try {
          progress(at.epoch, at.epochs);
        } catch (py::error_already_set& e) {
          raised.emplace(std::move(e));
          Raise(kErrUserInterrupt,
                StandardErrorText(kErrUserInterrupt) + ": the progress callback raised");
        }
      };
    }
    trained_ = false;
    std::exception_ptr failure;
    {
      py::gil_scoped_release nogil;
      try {
        network.RunNetwork(options);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    epochs_done_ = network.EpochsRun();
    converged_ = network.Converged();
    if (raised) throw std::move(*raised);
    if (failure) std::rethrow_exception(failure);
    trained_ = true;
  }

  py::object InputRelevance() {
    Network& network = Get();
    RefuseWhileNetworkInUse("input_relevance()");
    if (!trained_) return py::none();
    std::optional<std::vector<double>> scores;
    {
      py::gil_scoped_release nogil;
      scores = network.InputRelevance();
    }
    if (!scores) return py::none();
    const std::vector<std::string> names = network.InputColumnNames();
    py::dict result;
    for (std::size_t i = 0; i < scores->size(); ++i) {
      result[py::str(i < names.size() ? names[i] : std::string())] = (*scores)[i];
    }
    return result;
  }

  int32_t EpochsDone() const { return epochs_done_; }
  bool Converged() const { return converged_; }

 private:
  std::thread::id owner_;
  std::unique_ptr<Network> network_;
  // Whether the last run() completed: input_relevance() answers None until
  // one has.
  bool trained_ = false;
  // Of the last run that began, for reading from any thread.
  int32_t epochs_done_ = 0;
  bool converged_ = false;
};

py::bytes PictureBytes(const StatusPicture& picture) { return py::bytes(picture.Png()); }

// The network to predict with: a SavedNetwork or the path of a network file.
using NetworkOrPath = std::variant<SavedNetwork, std::string>;

int64_t PredictWith(const NetworkOrPath& network, const std::string& database,
                    const std::string& table) {
  if (const std::string* path = std::get_if<std::string>(&network)) NoNul(*path, "network");
  NoNul(database, "database");
  NoNul(table, "table");
  py::gil_scoped_release nogil;
  const SavedNetwork saved = std::holds_alternative<SavedNetwork>(network)
                                 ? std::get<SavedNetwork>(network)
                                 : LoadNetworkFile(std::get<std::string>(network));
  return Predict(saved, database, table);
}

template <class Get, class Set>
void Property(py::class_<PyNetwork>& cls, const char* name, const char* alias, Get get, Set set,
              const char* doc) {
  cls.def_property(name, get, set, doc);
  cls.def_property(alias, get, set, doc);
}

}  // namespace
}  // namespace kelda::python

PYBIND11_MODULE(_kelda, m) {
  using namespace kelda;
  using namespace kelda::python;
  m.doc() = "Trains a feed-forward network on a database table, and predicts with it.";
  m.def("_register_error", &RegisterError);
  // Where the installed libraries (the SQL extension among them) stand,
  // relative to this package's folder.
  m.attr("_libdir_from_package") = KELDA_LIBDIR_FROM_PACKAGE;
  py::register_exception_translator(&TranslateError);

  py::class_<StatusPicture>(m, "StatusPicture",
                            "A picture of the thread's status window, as it shows now.")
      .def(py::init<double>(), py::arg("dpi") = StatusPicture::kScreenDpi)
      .def_property_readonly("width", &StatusPicture::Width)
      .def_property_readonly("height", &StatusPicture::Height)
      .def(
          "pixel",
          [](const StatusPicture& p, int x, int y) {
            if (x < 0 || y < 0 || x >= p.Width() || y >= p.Height()) {
              throw py::index_error("pixel outside the picture");
            }
            return p.PixelAt(x, y);
          },
          "The colour of pixel (x, y) as 0xBBGGRR.")
      .def("png", &PictureBytes, "The picture as the bytes of a PNG file.")
      .def("_repr_png_", &PictureBytes)
      .def(
          "write_png",
          [](const StatusPicture& p, const std::string& path) { p.WritePng(NoNul(path, "path")); },
          py::arg("path"));

  py::class_<CancelToken>(m, "CancelToken",
                          "A request to stop a run, for run(cancel=...); cancel() from any thread.")
      .def(py::init<>())
      .def("cancel", &CancelToken::Cancel, "Asks every run given this token to stop.")
      .def_property_readonly("cancelled", &CancelToken::Cancelled);

  py::class_<PyNetwork> network(m, "Network", R"(A network trained on a database table.

Every Network of a thread trains the thread's one network; a Network is used
only on the thread that created it.)");
  network.def(py::init<>());
  Property(
      network, "database", "MSAccessDBName",
      [](const PyNetwork& n) { return n.Get().MSAccessDBName(); },
      [](PyNetwork& n, std::string v) { n.Get().SetMSAccessDBName(NoNul(v, "database")); },
      "Path of the SQLite database file.");
  Property(
      network, "table", "MSAccessTableName",
      [](const PyNetwork& n) { return n.Get().MSAccessTableName(); },
      [](PyNetwork& n, std::string v) { n.Get().SetMSAccessTableName(NoNul(v, "table")); },
      "Table of examples: the inputs, the target, then Actual.");
  Property(
      network, "epochs", "Epochs", [](const PyNetwork& n) { return n.Get().Epochs(); },
      [](PyNetwork& n, int32_t v) { n.Get().SetEpochs(v); },
      "Epochs to train; run() refuses a negative count.");
  Property(
      network, "hidden_layer_count", "HiddenLayerCount",
      [](const PyNetwork& n) { return n.Get().HiddenLayerCount(); },
      [](PyNetwork& n, int16_t v) { n.Get().SetHiddenLayerCount(v); },
      "Set to 20 by run() when 0; the hidden layer has 20 units.");
  network
      .def("run", &PyNetwork::Run, py::arg("progress") = py::none(), py::arg("seed") = py::none(),
           py::arg("cancel") = py::none(),
           R"(Trains on the table and writes every row's prediction into Actual.

progress(epoch, epochs) is called at every yield of the run; if it raises, the
run stops there with that exception, as it does on Ctrl-C. seed fixes the
initial weights (as the tool's --seed); None seeds them from the clock.
cancel, a kelda.CancelToken, stops the run with kelda.Error 18 once another
thread has called its cancel(), within a moment, inside a long database
statement too.
Raises ValueError, changing nothing, when epochs is negative.

The callback cannot change the run: run() and input_relevance() called from it
raise kelda.Error 3219, and a Network created in it resets the thread's
learning parameters only once the run has ended.)")
      .def(
          "show_status", [](PyNetwork& n) { n.Get().ShowStatus(); },
          "Shows the thread's status window.")
      .def("input_relevance", &PyNetwork::InputRelevance,
           "How much each input column matters, {column: score} in column order; None before "
           "a run.")
      .def_property_readonly("epochs_done", &PyNetwork::EpochsDone,
                             "Epochs the last run began (its last one included).")
      .def_property_readonly("converged", &PyNetwork::Converged,
                             "Whether the last run ended on convergence.")
      .def(
          "status_picture",
          [](PyNetwork& n, double dpi) {
            n.Get();
            return StatusPicture(dpi);
          },
          py::arg("dpi") = StatusPicture::kScreenDpi, "A picture of the thread's status window.")
      .def("_repr_png_", [](PyNetwork& n) {
        n.Get();
        return PictureBytes(StatusPicture());
      });

  py::class_<SavedNetwork>(m, "SavedNetwork", "A trained network as a network file holds it.")
      .def_property_readonly("inputs",
                             [](const SavedNetwork& s) {
                               std::vector<std::string> names;
                               for (const InputColumn& c : s.inputs) names.push_back(c.name);
                               return names;
                             })
      .def_property_readonly("target", [](const SavedNetwork& s) { return s.target.name; })
      .def("to_json", &NetworkToJson)
      .def_static(
          "from_json",
          [](const std::string& text) { return NetworkFromJson(text, "the JSON text"); },
          py::arg("text"));

  m.def(
      "save_network",
      [](const PyNetwork& n, const std::string& path) {
        NoNul(path, "path");
        SaveNetworkFile(CaptureNetwork(n.Get()), path);
      },
      py::arg("network"), py::arg("path"),
      "Saves the network a run trained to a network file, for predict().");
  m.def(
      "load_network", [](const std::string& path) { return LoadNetworkFile(NoNul(path, "path")); },
      py::arg("path"), "Reads a network file.");
  m.def("predict", &PredictWith, py::arg("network"), py::arg("database"), py::arg("table"),
        "Writes the predictions of a network (a SavedNetwork or a network file's path) into the "
        "column Actual of a table; returns the number of rows written.");
  m.attr("__version__") = KELDA_VERSION;
}
