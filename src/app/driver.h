#pragma once
// The spine of every run: banner, usage, input, run mode, exit status.

#include <cstdint>
#include <string>

#include "io/input_window.h"
#include "model/stream_model.h"

namespace vidsalvage {

enum class RunMode { DumpStco, DumpCo64, ExtractHeaders, LearnModel, InferModel, Recover };

// Runs the program on its command line and returns the exit status.
int run(int argc, const char* const* argv);

// Argument 2 chooses the mode; anything that is not a keyword is the video output.
RunMode choose_run_mode(const char* argument);

// The recovery mode on an open input; returns the exit status.
int run_recovery(InputWindow& input, int argc, const char* const* argv);

// The --model mode: learns the input and writes reference.model in the current
// directory. Returns the exit status.
int learn_reference_model(InputWindow& input, const char* input_name);

// Writes `text` as reference.model, saying so; false, with a line saying why,
// when it cannot be written. `input` is the recording read, never written over.
[[nodiscard]] bool write_model_file(const InputWindow& input, const std::string& text);

// Learns the input as --model does, printing the same lines, and keeps the model
// in `model`. False after the message saying why.
[[nodiscard]] bool learn_and_save_model(InputWindow& input, const char* input_name,
                                        StreamModel& model);

// True when an argument from 3 on is "--model".
bool asks_for_model(int argc, const char* const* argv);

// The recovery mode with reference.model in place of avcc.hdr and mp4a.hdr;
// returns the exit status.
int run_model_recovery(InputWindow& input, int argc, const char* const* argv);

// True for "--reference INTACT" as arguments 3 and 4: the model is learned from
// INTACT first, in the same run.
bool asks_for_reference(int argc, const char* const* argv);

// The one-command recovery: learns argument 4, writes reference.model, recovers
// with it. Returns the exit status.
int run_reference_recovery(InputWindow& input, int argc, const char* const* argv);

// The recovery with a model in hand: a playable file when argument 2 names one,
// else the raw streams. Returns the exit status.
int recover_with(InputWindow& input, const StreamModel& model, int argc, const char* const* argv);

// The --infer mode: infers a model from the damaged input alone and writes
// reference.model, its guesses marked. Returns the exit status.
int infer_reference_model(InputWindow& input, const char* input_name);

// Infers as --infer does, printing the same lines, and keeps the model in
// `model`. False after the message saying why.
[[nodiscard]] bool infer_and_save_model(InputWindow& input, const char* input_name,
                                        StreamModel& model);

// True for "--infer" as argument 3: the model is inferred from the damaged input
// itself, in the same run.
bool asks_for_inference(int argc, const char* const* argv);

// The one-command recovery without a reference: infers, writes reference.model,
// recovers with it. Returns the exit status.
int run_inferred_recovery(InputWindow& input, int argc, const char* const* argv);

// size × 100 ÷ input_size in 64-bit integers, truncated toward zero.
int percent_of(std::int64_t size, std::int64_t input_size);

}  // namespace vidsalvage
