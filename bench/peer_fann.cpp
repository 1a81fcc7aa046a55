#include "peer_fann.h"

#include <doublefann.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>

namespace kelda::bench {
namespace {

constexpr int kHiddenUnits = 20;
constexpr unsigned kSeed = 7;

// FANN's objects, freed on every path out.
struct Fann {
  struct fann* ann = nullptr;
  struct fann_train_data* data = nullptr;
  ~Fann() {
    if (ann != nullptr) fann_destroy(ann);
    if (data != nullptr) fann_destroy_train(data);
  }
};

// A constant column scales to 0 rather than dividing by a zero range.
double Scale(double min, double max, double v) {
  const double range = max - min;
  return range > 0.0 ? (v - min) / range : 0.0;
}

}  // namespace

PeerExamples::PeerExamples(int inputs)
    : inputs_(inputs),
      min_(static_cast<size_t>(inputs + 1), std::numeric_limits<double>::infinity()),
      max_(static_cast<size_t>(inputs + 1), -std::numeric_limits<double>::infinity()) {}

void PeerExamples::Append(int column, double value) {
  values_.push_back(value);
  if (value < min_[column]) min_[column] = value;
  if (value > max_[column]) max_[column] = value;
}

void PeerExamples::AppendMissingTarget() {
  if (!first_missing_) first_missing_ = rows();
  values_.push_back(std::numeric_limits<double>::quiet_NaN());
}

std::vector<double> TrainAndPredict(const PeerExamples& examples, int epochs) {
  const auto rows = static_cast<unsigned>(examples.rows());
  const auto count = static_cast<unsigned>(examples.examples());
  if (count == 0) throw std::runtime_error("no example rows: the first row has no target");
  const auto inputs = static_cast<unsigned>(examples.inputs_);
  const unsigned used = inputs + 1;
  const std::vector<double>& min = examples.min_;
  const std::vector<double>& max = examples.max_;
  auto row_of = [&](unsigned r) { return &examples.values_[static_cast<size_t>(r) * used]; };
  Fann fann;
  fann.data = fann_create_train(count, inputs, 1);
  if (fann.data == nullptr) throw std::runtime_error("FANN could not allocate the examples");
  for (unsigned r = 0; r < count; ++r) {
    const double* row = row_of(r);
    for (unsigned j = 0; j < inputs; ++j) fann.data->input[r][j] = Scale(min[j], max[j], row[j]);
    fann.data->output[r][0] = Scale(min[inputs], max[inputs], row[inputs]);
  }
  fann.ann = fann_create_standard(3, inputs, static_cast<unsigned>(kHiddenUnits), 1u);
  if (fann.ann == nullptr) throw std::runtime_error("FANN could not create the network");
  fann_set_activation_function_hidden(fann.ann, FANN_SIGMOID);
  fann_set_activation_function_output(fann.ann, FANN_SIGMOID);
  fann_set_training_algorithm(fann.ann, FANN_TRAIN_BATCH);
  fann_set_learning_rate(fann.ann, 0.15f);
  std::srand(kSeed);
  fann_randomize_weights(fann.ann, -0.25, 0.25);
  for (int e = 0; e < epochs; ++e) fann_train_epoch(fann.ann, fann.data);

  const double target_min = min[inputs];
  const double range = max[inputs] - target_min;
  std::vector<double> predictions(rows);
  std::vector<fann_type> scaled(inputs);
  for (unsigned r = 0; r < rows; ++r) {
    const double* row = row_of(r);
    for (unsigned j = 0; j < inputs; ++j) scaled[j] = Scale(min[j], max[j], row[j]);
    predictions[r] = target_min + range * fann_run(fann.ann, scaled.data())[0];
  }
  return predictions;
}

int ParseEpochs(const char* text) {
  int epochs = -1;
  const char* end = text + std::char_traits<char>::length(text);
  const auto [ptr, ec] = std::from_chars(text, end, epochs);
  if (ec != std::errc() || ptr != end || epochs < 0) {
    throw std::runtime_error(std::string("EPOCHS is a whole number from 0 up, not '") + text + "'");
  }
  return epochs;
}

int RunPeerProgram(const char* program, int argc, char** argv, int (*run)(int, char**)) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
}

}  // namespace kelda::bench
