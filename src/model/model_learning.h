#pragma once
// Learning: how a recorder lays out its tracks, read from an intact recording
// into the model that reference.model holds.

#include <cstdint>
#include <vector>

#include "model/stream_model.h"
#include "io/input_window.h"
#include "mp4/box_tree.h"

namespace vidsalvage {

enum class LearnStatus {
  Ok,
  NoVideo,
  TooManyTracks,
  TablesDisagree,
  OutsideFile,
  TooManySamples,
  ReadFailed
};

struct LearnError {
  LearnStatus status = LearnStatus::Ok;
  std::uint32_t track = 0;  // the track at fault, when there is one
};

// Learns the model from the tracks' tables, visiting every sample of every track
// in the input once, in file order. False with `error` filled when there is no
// H.264 video track, the tables point outside the input, or a read fails.
[[nodiscard]] bool learn_model(InputWindow& input, const std::vector<TrackTables>& tracks,
                               StreamModel& model, LearnError& error);

}  // namespace vidsalvage
