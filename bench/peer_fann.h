// The FANN side of the peer programs, shared by the one on an SQLite file and
// the one on a server table: the examples as they were loaded, and training
// FANN's batch algorithm on them.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace kelda::bench {

// A table's rows as FANN needs them, in the table's row order: each row's
// inputs, then its target, and every one of those columns' range over all
// rows. As `kelda train` reads a table, the examples trained on are the rows
// before the first one without a target; every row is predicted.
class PeerExamples {
 public:
  // REQUIRES: inputs > 0.
  explicit PeerExamples(int inputs);

  int inputs() const { return inputs_; }
  // Every row loaded.
  size_t rows() const { return values_.size() / static_cast<size_t>(inputs_ + 1); }
  // The rows trained on: those before the first without a target.
  size_t examples() const { return first_missing_ ? *first_missing_ : rows(); }

  // Appends the value of `column` (0 .. inputs() - 1 an input, inputs() the
  // target) to the row being loaded.
  // REQUIRES: each row's columns are appended in order, 0 to inputs().
  void Append(int column, double value);
  // In place of Append(inputs(), ...): the row being loaded has no target.
  void AppendMissingTarget();

 private:
  friend std::vector<double> TrainAndPredict(const PeerExamples& examples, int epochs);

  int inputs_;
  std::vector<double> values_;  // row by row, inputs then the target (NaN: none)
  std::vector<double> min_;     // per column, inputs then the target
  std::vector<double> max_;
  std::optional<size_t> first_missing_;
};

// Trains an inputs-20-1 sigmoid network with FANN's batch algorithm
// for `epochs` on the examples, every column scaled to [0, 1] by its range
// (sigmoid units need it), and returns every row's unscaled prediction in
// row order. Throws std::runtime_error when there is no example or FANN
// cannot allocate what it needs.
// REQUIRES: complete rows only.
std::vector<double> TrainAndPredict(const PeerExamples& examples, int epochs);

// EPOCHS of a command line: a whole number from 0 up. Throws
// std::runtime_error for anything else.
int ParseEpochs(const char* text);

// A peer program's main: runs `run`, and on failure prints one line on
// stderr, led by `program`, and returns 1.
int RunPeerProgram(const char* program, int argc, char** argv, int (*run)(int, char**));

}  // namespace kelda::bench
