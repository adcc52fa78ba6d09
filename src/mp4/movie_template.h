#pragma once
// What a playable file copies from the reference recording: enough of its movie
// box to write tracks that look like the reference's own. The reader of the
// reference fills it, the model file carries it, the movie writer follows it.

#include <cstdint>
#include <string>
#include <vector>

namespace vidsalvage {

// The limits every reader and writer of a template shares.
inline constexpr std::size_t kMaxSampleEntryBytes = 64 * 1024;
// The largest lead a template holds, in either direction: years at any timescale.
inline constexpr std::int64_t kMaxLeadTicks = std::int64_t{1} << 40;
inline constexpr std::size_t kMaxTemplateBoxBytes = 4 * 1024;

struct TrackTemplate {
  std::uint32_t id = 0;                    // tkhd's track_ID
  std::string handler;                     // hdlr's handler_type, four characters
  std::string handler_name;                // hdlr's name, printable characters
  std::vector<std::uint8_t> sample_entry;  // the first stsd entry, the whole box
  std::vector<std::uint8_t> tkhd;          // the whole tkhd box (matrix, size, flags)
  std::vector<std::uint8_t> media_header;  // the whole vmhd/smhd/nmhd/gmhd box
  std::vector<std::uint8_t> edit_list;     // the whole elst box; empty: none
  std::uint32_t timescale = 0;             // mdhd's
  std::uint16_t language = 0;              // mdhd's packed language code
  std::uint32_t sample_delta = 0;          // the most common stts delta
  bool constant_delta = false;             // every stts delta is sample_delta
  bool composition_offsets = false;        // the reference has ctts
  bool sync_table = false;                 // the reference has stss: not every sample is a key
  // Where the reference's chunks of this track lie in time against the video's:
  // the median, over its chunks, of a chunk's start less the decoding time of the
  // video sample that follows the chunk in the file, in this track's timescale.
  bool has_lead = false;
  std::int64_t lead = 0;
};

struct MovieTemplate {
  std::vector<std::uint8_t> ftyp;  // the whole ftyp box; empty: none
  bool quicktime = false;          // major brand 'qt  ', or no ftyp
  std::uint32_t timescale = 0;     // mvhd's
  std::vector<TrackTemplate> tracks;
};

}  // namespace vidsalvage
