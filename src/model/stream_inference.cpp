#include "model/stream_inference.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "codec/bit_reader.h"
#include "codec/esds.h"
#include "codec/parameter_set_writer.h"
#include "model/model_learning.h"
#include "model/nal_chains.h"
#include "model/sample_descriptors.h"

namespace vidsalvage {
namespace {

using Clock = std::chrono::steady_clock;

// The judge's share of the inference's two seconds, counted in macroblocks
// parsed (about 1.5 s of a desktop's parsing) so that what it finds does not
// depend on the machine's speed or load; the clock stops it only far beyond.
constexpr std::uint64_t kJudgeMacroblocks = 1'200'000;
constexpr std::chrono::seconds kJudgeTimeLimit{30};
constexpr PictureSize kUsualSize = {1920, 1080};
constexpr std::uint32_t kUsualRefFrames = 4;
constexpr std::uint32_t kMaxRefFrames = 16;
constexpr std::uint32_t kVideoTrack = 1;
constexpr std::uint32_t kAudioTrack = 2;
// Tracks of samples recognised and skipped: no playable file holds them.
constexpr std::uint32_t kDescriptorTrack = 3;
constexpr std::uint32_t kOtherTrack = 4;
// Stretches between samples seen in more than this share of pictures are audio.
constexpr double kAudioShare = 0.25;
constexpr int kMinCheckedPictures = 2;
// Audio frames per picture more than 6 % off both rates make the rate a guess.
constexpr double kCloseSamplingRate = 0.06;

// H.264 Table A-1: the smallest level whose frame size and macroblock rate hold
// the stream.
struct Level {
  std::uint8_t idc;
  std::uint32_t max_frame_mbs;
  std::uint32_t max_mbs_per_second;
};
constexpr Level kLevels[] = {{30, 1620, 40500},     {31, 3600, 108000},    {32, 5120, 216000},
                             {40, 8192, 245760},    {42, 8704, 522240},    {50, 22080, 589824},
                             {51, 36864, 983040},   {52, 36864, 2073600},  {60, 139264, 4177920},
                             {61, 139264, 8355840}, {62, 139264, 16711680}};

std::uint8_t level_for(std::uint32_t frame_mbs, double fps) {
  for (const Level& l : kLevels) {
    if (frame_mbs <= l.max_frame_mbs && frame_mbs * fps <= l.max_mbs_per_second) return l.idc;
  }
  return 62;
}

std::vector<RankPicture> pictures_of(const ChainScan& scan) {
  std::vector<RankPicture> pictures;
  for (const MediaBlock& block : scan.blocks) {
    for (std::size_t i = 0; i < block.chains.size(); ++i) {
      RankPicture p;
      p.follows = i > 0;
      for (const ChainUnit& u : block.chains[i].units) {
        const std::span<const std::uint8_t> unit = block.unit(u);
        if (is_slice_type(VideoCodec::Avc, unit[0] & 0x1F)) p.slices.push_back(unit);
      }
      pictures.push_back(std::move(p));
    }
  }
  return pictures;
}

EncoderHints hints_of(const ChainScan& scan) {
  EncoderHints hints;
  for (const MediaBlock& block : scan.blocks) {
    for (const NalChain& chain : block.chains) {
      for (const ChainUnit& u : chain.units) {
        const std::span<const std::uint8_t> unit = block.unit(u);
        if ((unit[0] & 0x1F) == 6) read_encoder_hints(unit, hints);
        if (hints.found) return hints;
      }
    }
  }
  return hints;
}

SpsInfo base_sps() {
  SpsInfo sps;
  sps.profile_idc = 100;
  sps.level_idc = 40;
  sps.frame_mbs_only_flag = true;
  sps.direct_8x8_inference_flag = true;
  sps.max_num_ref_frames = kUsualRefFrames;
  set_picture_size(sps, kUsualSize);
  return sps;
}

// The most reference frames the slices use at once, and whether any is a B slice.
std::uint32_t references_used(const std::vector<RankPicture>& pictures, const SpsInfo& sps,
                              const PpsInfo& pps, bool& b_slices) {
  const AvcParameterSets sets = sets_of(sps, pps);
  std::uint32_t most = 1;
  for (const RankPicture& p : pictures) {
    for (const std::span<const std::uint8_t> unit : p.slices) {
      SliceHeader h;
      NALUnit reader(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
      if (read_slice_header_to_data(unit, sets, h, reader) != SliceRead::Read) continue;
      const std::uint32_t kind = h.slice_type % 5;
      if (kind == 1) b_slices = true;
      if (kind == 0 || kind == 3) most = std::max(most, h.num_ref_idx_l0_active_minus1 + 1);
      if (kind == 1) {
        most = std::max(most, h.num_ref_idx_l0_active_minus1 + h.num_ref_idx_l1_active_minus1 + 2);
      }
    }
  }
  return std::min(most, kMaxRefFrames);
}

std::string text_of(std::int64_t value) { return std::to_string(value); }

struct Settled {
  SpsInfo sps;
  PpsInfo pps;
};

// CAVLC's pic_init_qp from the key picture rebuilt, once the judge has measured
// the picture size. CABAC's is measured already: its contexts depend on it.
// True when measured; `out.pps` then holds it.
bool measure_quantiser(const std::vector<RankPicture>& pictures, const JudgedSets& judged,
                       Settled& out, InferenceReport& report) {
  if (!judged.measured || out.pps.entropy_coding_mode_flag || hinted_init_qp(report.hints)) {
    return false;
  }
  const QuantMeasure qp = measure_init_qp(pictures, out.sps, out.pps);
  if (!qp.measured) return false;
  out.pps.pic_init_qp_minus26 = qp.pic_init_qp - 26;
  report.measures.push_back({"pic_init_qp", text_of(qp.pic_init_qp),
                             "the key picture's first " + text_of(qp.macroblocks) +
                                 " macroblocks rebuilt: least blocky short of clipping"});
  return true;
}

// Steps 2 and 3: the SPS and PPS fields, the guesses among them noted.
bool settle_sets(const std::vector<RankPicture>& pictures, const SliceJudge& judge,
                 Clock::time_point start, InferenceReport& report, Settled& out) {
  const EncoderHints& hints = report.hints;
  const SequenceRank sequence = rank_sequence_fields(pictures, base_sps());
  report.pictures_read = static_cast<std::uint64_t>(sequence.pictures);
  // Most frame numbers must step as H.264 has them step, else the chains were
  // bytes that only looked like units.
  if (sequence.checked < kMinCheckedPictures || 2 * sequence.consistent < sequence.checked) {
    return false;
  }
  bool references_shown = true;
  const std::vector<PpsInfo> candidates =
      rank_picture_fields(pictures, sequence.sps, PpsInfo{}, hints, &references_shown);
  std::uint64_t parsed = 0;
  const SliceJudge bounded = [&](std::span<const std::uint8_t> unit, const AvcParameterSets& sets) {
    if (parsed >= kJudgeMacroblocks) return SliceVerdict{};
    const SliceVerdict verdict = judge(unit, sets);
    parsed += verdict.macroblocks + 1;
    return verdict;
  };
  const JudgedSets judged =
      judge_sets(pictures, sequence.sps, candidates, hints, judge ? bounded : SliceJudge{},
                 start + kJudgeTimeLimit, references_shown);
  std::vector<Guess>& guesses = report.guesses;
  out = {judged.sps, judged.pps};
  report.size_measured = judged.measured;
  if (!judged.measured) {
    out = {sequence.sps, candidates.front()};
    set_picture_size(out.sps, kUsualSize);
    guesses.push_back({"picture size", "1920x1080", "no slice data parser measured it"});
    out.pps.transform_8x8_mode_flag =
        hints.transform_8x8 ? *hints.transform_8x8 != 0 : out.pps.entropy_coding_mode_flag;
    if (!hints.transform_8x8) {
      guesses.push_back({"transform_8x8_mode_flag", out.pps.transform_8x8_mode_flag ? "1" : "0",
                         "only the slice data shows it"});
    }
  } else if (out.sps.crop.right != 0) {
    guesses.push_back({"cropping",
                       text_of(out.sps.crop.right) + "x" + text_of(out.sps.crop.bottom) + " of " +
                           text_of(out.sps.width) + "x" + text_of(out.sps.height),
                       "slices show whole macroblocks"});
  }
  const bool qp_measured = measure_quantiser(pictures, judged, out, report);
  if (!hinted_init_qp(hints) && !qp_measured &&
      (!out.pps.entropy_coding_mode_flag || !judged.measured)) {
    guesses.push_back({"pic_init_qp", text_of(26 + out.pps.pic_init_qp_minus26),
                       "not measured; colours and sharpness may be off"});
  }
  if (!references_shown && !judged.references_measured && !hints.ref) {
    guesses.push_back({"num_ref_idx_l0_default_active_minus1",
                       text_of(out.pps.num_ref_idx_l0_default_active_minus1),
                       "P slices that keep the default do not show it"});
  }
  if (!hints.chroma_qp_offset) {
    guesses.push_back({"chroma_qp_index_offset", "0", "slices do not show it; colours may be off"});
  }
  guesses.push_back({"scaling matrices", "flat", "slices do not show them"});
  bool b_slices = false;
  const std::uint32_t used = references_used(pictures, out.sps, out.pps, b_slices);
  const std::uint32_t hinted = hints.ref ? static_cast<std::uint32_t>(std::max(*hints.ref, 1)) : 0;
  out.sps.max_num_ref_frames = std::min(std::max({used, hinted, kUsualRefFrames}), kMaxRefFrames);
  if (!hints.ref) {
    guesses.push_back({"max_num_ref_frames", text_of(out.sps.max_num_ref_frames),
                       "at least what the slices use"});
  }
  report.b_slices = b_slices;
  if (b_slices && !hints.weightb) {
    guesses.push_back({"weighted_bipred_idc", text_of(out.pps.weighted_bipred_idc),
                       "0 and 2 read alike; brightness fades may be off"});
  }
  report.cabac = out.pps.entropy_coding_mode_flag;
  if (out.pps.transform_8x8_mode_flag) {
    out.sps.profile_idc = 100;
  } else if (out.pps.entropy_coding_mode_flag || b_slices || out.pps.weighted_pred_flag) {
    out.sps.profile_idc = 77;
  } else {
    out.sps.profile_idc = 66;
  }
  return true;
}

std::vector<AudioStretch> stretches_of(const ChainScan& scan, std::uint64_t& intervals) {
  std::vector<AudioStretch> out;
  intervals = 0;
  for (const MediaBlock& block : scan.blocks) {
    for (std::size_t i = 1; i < block.chains.size(); ++i) {
      ++intervals;
      const std::uint32_t from = block.chains[i - 1].end;
      const std::uint32_t to = block.chains[i].start;
      if (to > from) {
        out.push_back({block.offset + from,
                       std::span<const std::uint8_t>(block.bytes).subspan(from, to - from)});
      }
    }
  }
  return out;
}

// The tables a movie box would hold for the samples found.
TrackTables video_tables(const ChainScan& scan, const std::vector<std::uint8_t>& config,
                         const RatePick& rates) {
  TrackTables t;
  t.id = kVideoTrack;
  t.handler = "vide";
  t.handler_name = "VideoHandler";
  t.entry_type = scan.codec == VideoCodec::Hevc ? "hvc1" : "avc1";
  (scan.codec == VideoCodec::Hevc ? t.hvcc : t.avcc) = config;
  const bool whole = rates.fps_denominator == 1;
  t.timescale = whole ? rates.fps_numerator * 1000 : rates.fps_numerator;
  const std::uint32_t delta = whole ? 1000 : rates.fps_denominator;
  for (const MediaBlock& block : scan.blocks) {
    for (const NalChain& chain : block.chains) {
      t.sizes.push_back(chain.end - chain.start);
      t.chunk_offsets.push_back(static_cast<std::uint64_t>(block.offset + chain.start));
    }
  }
  t.sample_count = static_cast<std::uint32_t>(t.sizes.size());
  t.durations = {{t.sample_count, delta}};
  t.chunk_runs = {{1, 1}};
  return t;
}

TrackTables audio_tables(const AacInference& aac, const std::vector<std::uint8_t>& config,
                         const RatePick& rates) {
  TrackTables t;
  t.id = kAudioTrack;
  t.handler = "soun";
  t.handler_name = "SoundHandler";
  t.entry_type = "mp4a";
  t.esds = {0, 0, 0, 0};  // the box's version and flags
  const std::vector<std::uint8_t> descriptors = esds_body(config);
  t.esds.insert(t.esds.end(), descriptors.begin(), descriptors.end());
  t.channels = aac.channel_config;
  t.sample_bits = 16;
  t.sample_rate = rates.sampling_rate;
  t.timescale = rates.sampling_rate;
  for (const AudioFrame& f : aac.frames) {
    t.sizes.push_back(f.size);
    t.chunk_offsets.push_back(static_cast<std::uint64_t>(f.offset));
  }
  t.sample_count = static_cast<std::uint32_t>(t.sizes.size());
  t.durations = {{t.sample_count, 1024}};
  t.chunk_runs = {{1, 1}};
  return t;
}

// The samples of the other tracks where descriptors cut the stretches: audio
// and the rest, and the descriptors themselves.
struct Described {
  std::vector<AudioStretch> frames;
  std::vector<DescribedSample> descriptors;
  std::vector<DescribedSample> others;
};

Described cut_all(const ChainScan& scan, const DescriptorLayout& layout) {
  Described out;
  for (const MediaBlock& block : scan.blocks) {
    for (std::size_t i = 1; i < block.chains.size(); ++i) {
      DescribedStretch cut;
      if (!cut_described(block, block.chains[i - 1].end, block.chains[i].start, layout, cut)) {
        continue;
      }
      out.descriptors.insert(out.descriptors.end(), cut.descriptors.begin(), cut.descriptors.end());
      for (const DescribedSample& s : cut.samples) {
        const auto at = static_cast<std::size_t>(s.offset - block.offset);
        out.frames.push_back(
            {s.offset, std::span<const std::uint8_t>(block.bytes).subspan(at, s.size)});
      }
    }
  }
  return out;
}

struct FoundAudio {
  AacInference aac;
  std::vector<DescribedSample> descriptors;
  std::vector<DescribedSample> others;  // described samples that are not audio
};

// Step 6: the audio between the samples, and the rates from its frame count.
FoundAudio find_audio(const ChainScan& scan, InferenceReport& report) {
  std::uint64_t intervals = 0;
  const std::vector<AudioStretch> stretches = stretches_of(scan, intervals);
  FoundAudio found;
  const DescriptorLayout layout = find_descriptors(scan);
  report.descriptors = layout.found;
  if (layout.found) {
    const Described described = cut_all(scan, layout);
    found.aac = aac_of_frames(described.frames);
    found.descriptors = described.descriptors;
    std::size_t next = 0;
    for (const AudioStretch& f : described.frames) {
      const bool audio =
          next < found.aac.frames.size() && found.aac.frames[next].offset == f.offset;
      if (audio) {
        ++next;
      } else {
        found.others.push_back({f.offset, static_cast<std::uint32_t>(f.bytes.size())});
      }
    }
  } else {
    found.aac = infer_aac(stretches);
  }
  const AacInference& aac = found.aac;
  if (aac.found && intervals > 0) {
    report.audio = AudioFinding::Aac;
    report.channels = aac.channel_config;
    report.rates =
        pick_rates(static_cast<double>(aac.frames.size()) / static_cast<double>(intervals));
  } else {
    report.audio =
        static_cast<double>(stretches.size()) > kAudioShare * static_cast<double>(intervals)
            ? AudioFinding::NeedsReference
            : AudioFinding::None;
    report.rates = pick_rates(0);
    // Audio of a kind not inferred still lies between the samples: the walk
    // steps over it, as over another track's samples, rather than taking it
    // for damage.
    if (report.audio == AudioFinding::NeedsReference && !layout.found) {
      for (const AudioStretch& s : stretches) {
        found.others.push_back({s.offset, static_cast<std::uint32_t>(s.bytes.size())});
      }
    }
  }
  const RatePick& r = report.rates;
  const std::string fps = r.fps_denominator == 1
                              ? text_of(r.fps_numerator)
                              : text_of(r.fps_numerator) + "/" + text_of(r.fps_denominator);
  if (r.fps_guessed) {
    report.guesses.push_back({"frame rate", fps,
                              aac.found ? "the count of audio frames fits more than one rate"
                                        : "no audio to count it by"});
  }
  if (r.rate_guessed && aac.found) {
    report.guesses.push_back({"sampling rate", text_of(r.sampling_rate),
                              "the count of audio frames fits more than one rate"});
  }
  return found;
}

// A track of samples the recovery recognises and skips: the descriptors, and
// the samples they describe that are not audio.
TrackTables skipped_tables(std::uint32_t id, const char* entry, const char* name,
                           const std::vector<DescribedSample>& samples) {
  TrackTables t;
  t.id = id;
  t.handler = "meta";
  t.handler_name = name;
  t.entry_type = entry;
  t.timescale = 1000;
  for (const DescribedSample& s : samples) {
    t.sizes.push_back(s.size);
    t.chunk_offsets.push_back(static_cast<std::uint64_t>(s.offset));
  }
  t.sample_count = static_cast<std::uint32_t>(t.sizes.size());
  t.durations = {{t.sample_count, 1}};
  t.chunk_runs = {{1, 1}};
  return t;
}

}  // namespace

namespace {

void put_u16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put_u16(out, v >> 16);
  put_u16(out, v & 0xFFFF);
}

std::vector<std::uint8_t> box(const char* type, const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> out;
  put_u32(out, static_cast<std::uint32_t>(8 + body.size()));
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// ISO/IEC 14496-1 7.2.2.3: a descriptor with a one-byte size (bodies stay under 128).
void put_descriptor(std::vector<std::uint8_t>& out, std::uint8_t tag,
                    const std::vector<std::uint8_t>& body) {
  out.push_back(tag);
  out.push_back(static_cast<std::uint8_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
}

}  // namespace

std::vector<std::uint8_t> esds_body(const std::vector<std::uint8_t>& audio_config) {
  constexpr std::uint8_t kAudioStream = 0x05 << 2 | 1;  // streamType, upStream 0, reserved 1
  std::vector<std::uint8_t> decoder = {kObjectTypeMpeg4Audio, kAudioStream, 0, 0, 0};
  put_u32(decoder, 0);  // maxBitrate: unknown
  put_u32(decoder, 0);  // avgBitrate
  put_descriptor(decoder, 0x05, audio_config);
  std::vector<std::uint8_t> es = {0, 0, 0};  // ES_ID 0, no flags
  put_descriptor(es, 0x04, decoder);
  put_descriptor(es, 0x06, {0x02});  // SLConfigDescriptor: predefined for MP4 files
  std::vector<std::uint8_t> out;
  put_descriptor(out, 0x03, es);
  return out;
}

namespace {

// ISO/IEC 14496-12 12.1.3: a VisualSampleEntry with its configuration box.
std::vector<std::uint8_t> visual_entry(const char* type, const char* config_type,
                                       const std::vector<std::uint8_t>& config, std::uint32_t width,
                                       std::uint32_t height) {
  std::vector<std::uint8_t> body(6, 0);  // reserved
  put_u16(body, 1);                      // data_reference_index
  body.insert(body.end(), 16, 0);        // pre_defined and reserved
  put_u16(body, width);
  put_u16(body, height);
  put_u32(body, 0x00480000);  // 72 dpi across and down
  put_u32(body, 0x00480000);
  put_u32(body, 0);
  put_u16(body, 1);                // frame_count
  body.insert(body.end(), 32, 0);  // compressorname
  put_u16(body, 0x0018);           // depth
  put_u16(body, 0xFFFF);           // pre_defined -1
  const std::vector<std::uint8_t> config_box = box(config_type, config);
  body.insert(body.end(), config_box.begin(), config_box.end());
  return box(type, body);
}

}  // namespace

std::vector<std::uint8_t> avc1_entry(const std::vector<std::uint8_t>& avcc, std::uint32_t width,
                                     std::uint32_t height) {
  return visual_entry("avc1", "avcC", avcc, width, height);
}

std::vector<std::uint8_t> hvc1_entry(const std::vector<std::uint8_t>& hvcc, std::uint32_t width,
                                     std::uint32_t height) {
  return visual_entry("hvc1", "hvcC", hvcc, width, height);
}

std::vector<std::uint8_t> mp4a_entry(const std::vector<std::uint8_t>& audio_config,
                                     std::uint32_t channels, std::uint32_t sampling_rate) {
  std::vector<std::uint8_t> body(6, 0);
  put_u16(body, 1);
  body.insert(body.end(), 8, 0);  // version, revision, vendor
  put_u16(body, channels);
  put_u16(body, 16);  // samplesize
  put_u32(body, 0);   // compression id, packet size
  put_u32(body, sampling_rate << 16);
  std::vector<std::uint8_t> esds = {0, 0, 0, 0};  // version and flags
  const std::vector<std::uint8_t> descriptors = esds_body(audio_config);
  esds.insert(esds.end(), descriptors.begin(), descriptors.end());
  const std::vector<std::uint8_t> esds_box = box("esds", esds);
  body.insert(body.end(), esds_box.begin(), esds_box.end());
  return box("mp4a", body);
}

namespace {

double fps_of(const RatePick& r) {
  return static_cast<double>(r.fps_numerator) / static_cast<double>(r.fps_denominator);
}

// A slice reads under the sets settled: its whole header, and under CABAC the
// alignment bits after it all ones.
SliceCheck slice_check(const Settled& settled) {
  return [sets = sets_of(settled.sps, settled.pps),
          cabac = settled.pps.entropy_coding_mode_flag](std::span<const std::uint8_t> unit) {
    SliceHeader h;
    NALUnit reader(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
    if (read_slice_header_to_data(unit, sets, h, reader) != SliceRead::Read) return false;
    if (!cabac) return true;
    for (std::uint32_t bits = reader.bits_left(); bits > 0; --bits) {
      if (reader.read_bit() != 1) return false;
    }
    return true;
  };
}

// The video's configuration record, of the scan's codec, and its visible size.
struct FoundVideo {
  std::vector<std::uint8_t> config;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool reordered = false;  // B slices: the pictures need composition offsets
};

FoundVideo avc_video(const ChainScan& scan, const Settled& sets, bool b_slices) {
  const std::vector<std::uint8_t> sps = write_sps(sets.sps);
  const std::vector<std::uint8_t> pps = write_pps(sets.pps);
  FoundVideo v;
  v.config = make_avc_config(sps, pps, sets.sps, scan.nal_length_size);
  v.width =
      sets.sps.crop.right != 0 ? static_cast<std::uint32_t>(sets.sps.crop.right) : sets.sps.width;
  v.height = sets.sps.crop.bottom != 0 ? static_cast<std::uint32_t>(sets.sps.crop.bottom)
                                       : sets.sps.height;
  v.reordered = b_slices;
  return v;
}

// The learning of an intact recording, on tables made of the samples found.
bool learn_found(InputWindow& input, const ChainScan& scan, const FoundVideo& video,
                 const FoundAudio& found, InferenceReport& report, StreamModel& model) {
  const AacInference& aac = found.aac;
  std::vector<TrackTables> tracks = {video_tables(scan, video.config, report.rates)};
  std::vector<std::uint8_t> config;
  if (report.audio == AudioFinding::Aac) {
    config = aac_lc_config(report.rates.sampling_rate, aac.channel_config);
    tracks.push_back(audio_tables(aac, config, report.rates));
  }
  // The file's order decides which sample follows which: the tracks' samples
  // sorted is what the learning reads.
  if (!found.descriptors.empty()) {
    tracks.push_back(skipped_tables(kDescriptorTrack, "desc", "Descriptors", found.descriptors));
  }
  if (!found.others.empty()) {
    tracks.push_back(skipped_tables(kOtherTrack, "othr", "Other samples", found.others));
  }
  LearnError error;
  if (!learn_model(input, tracks, model, error)) return false;
  report.width = video.width;
  report.height = video.height;
  model.movie.timescale = 1000;
  for (TrackTemplate& t : model.movie.tracks) {
    t.sync_table = true;
    if (t.id == kVideoTrack) {
      t.sample_entry = scan.codec == VideoCodec::Hevc
                           ? hvc1_entry(video.config, video.width, video.height)
                           : avc1_entry(video.config, video.width, video.height);
      t.composition_offsets = video.reordered;
    } else if (t.id == kAudioTrack) {
      t.sample_entry = mp4a_entry(config, aac.channel_config, report.rates.sampling_rate);
      t.sync_table = false;
    }
  }
  return true;
}

// What the samples seen say of the whole file: its pictures, for the timing, and
// the widest stretch between two samples, for the search after damage.
void extrapolate(const ChainScan& scan, InferenceReport& report, StreamModel& model) {
  std::int64_t sampled = 0;
  std::uint64_t widest = 0;
  for (const MediaBlock& block : scan.blocks) {
    sampled += static_cast<std::int64_t>(block.bytes.size());
    for (std::size_t i = 1; i < block.chains.size(); ++i) {
      widest = std::max<std::uint64_t>(widest, block.chains[i].start - block.chains[i - 1].end);
    }
  }
  report.bytes_read = sampled;
  model.video.max_gap = 2 * widest + 4096;
  const double share = static_cast<double>(scan.media_end - scan.media_start) /
                       static_cast<double>(std::max<std::int64_t>(sampled, 1));
  for (ModelTrack& t : model.tracks) {
    for (DurationRun& run : t.durations) {
      run.count = static_cast<std::uint32_t>(std::min(run.count * share, 4e9));
    }
  }
}

// The sampling rate, of the two recorders write, whose audio frames per picture
// at the known frame rate come closest to the count; a guess when neither comes
// within kCloseSamplingRate.
void settle_sampling_rate(const ChainScan& scan, const AacInference& aac, InferenceReport& report) {
  std::uint64_t intervals = 0;
  for (const MediaBlock& block : scan.blocks) {
    if (!block.chains.empty()) intervals += block.chains.size() - 1;
  }
  if (intervals == 0) return;
  RatePick& rates = report.rates;
  const double per_second = static_cast<double>(aac.frames.size()) /
                            static_cast<double>(intervals) * fps_of(rates) * 1024;
  const double off_48k = std::fabs(std::log(per_second / 48000));
  const double off_44k = std::fabs(std::log(per_second / 44100));
  rates.sampling_rate = off_48k <= off_44k ? 48000 : 44100;
  std::erase_if(report.guesses, [](const Guess& g) { return g.field == "sampling rate"; });
  if (std::min(off_48k, off_44k) > kCloseSamplingRate) {
    report.guesses.push_back({"sampling rate", text_of(rates.sampling_rate),
                              "the count of audio frames fits neither rate well"});
  }
}

InferStatus status_of(HevcInferStatus status) {
  switch (status) {
    case HevcInferStatus::SpsRefSets:
      return InferStatus::HevcSpsRefSets;
    case HevcInferStatus::Unsupported:
      return InferStatus::HevcUnsupported;
    case HevcInferStatus::Unread:
      return InferStatus::HevcUnread;
    case HevcInferStatus::NoSettings:
    case HevcInferStatus::Ok:
      break;
  }
  return InferStatus::Hevc;
}

// HEVC: the sets from the encoder's settings and the slice segment headers, the
// rest as for H.264.
bool infer_hevc(InputWindow& input, ChainScan& scan, Clock::time_point start, StreamModel& model,
                InferenceReport& report, InferStatus& status) {
  report.codec = VideoCodec::Hevc;
  scan.codec = VideoCodec::Hevc;
  scan.nal_length_size = 4;
  check_chains(scan, {});
  report.nal_length_size = scan.nal_length_size;
  report.chains = scan.chains;
  const FoundAudio audio = find_audio(scan, report);
  HevcInference& hevc = report.hevc;
  const HevcInferStatus found =
      infer_hevc_sets(scan, report.rates.fps_numerator, report.rates.fps_denominator, hevc);
  if (found != HevcInferStatus::Ok) {
    status = status_of(found);
    return false;
  }
  // The frame rate the settings give replaces the one the audio gave or the guess,
  // and settles the sampling rate the audio frames per picture show.
  RatePick& rates = report.rates;
  rates.fps_numerator = hevc.sps.vui.time_scale;
  rates.fps_denominator = hevc.sps.vui.num_units_in_tick;
  if (hevc.hints.fps_numerator && hevc.hints.fps_denominator) {
    std::erase_if(report.guesses, [](const Guess& g) { return g.field == "frame rate"; });
    if (report.audio == AudioFinding::Aac) settle_sampling_rate(scan, audio.aac, report);
  }
  report.guesses.insert(report.guesses.end(), hevc.guesses.begin(), hevc.guesses.end());
  report.pictures_read = hevc.pictures_read;
  report.b_slices = hevc.b_slices;
  const FoundVideo video = {hevc.hvcc, hevc.width, hevc.height, hevc.b_slices};
  if (!learn_found(input, scan, video, audio, report, model)) {
    status = input_failed(input) ? InferStatus::ReadFailed : InferStatus::LearnFailed;
    return false;
  }
  extrapolate(scan, report, model);
  model.reference_size = input.size;
  report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  status = InferStatus::Ok;
  return true;
}

}  // namespace

bool infer_model(InputWindow& input, const SliceJudge& judge, StreamModel& model,
                 InferenceReport& report, InferStatus& status) {
  const Clock::time_point start = Clock::now();
  ChainScan scan;
  switch (collect_chains(input, scan)) {
    case ChainStatus::ReadFailed:
      status = InferStatus::ReadFailed;
      return false;
    case ChainStatus::Hevc:
      return infer_hevc(input, scan, start, model, report, status);
    case ChainStatus::NoChains:
      status = InferStatus::NoVideo;
      return false;
    case ChainStatus::Found:
      break;
  }
  report.nal_length_size = scan.nal_length_size;
  report.chains = scan.chains;
  report.hints = hints_of(scan);
  // Bytes that only looked like a chain may hide samples: the sets settled on
  // the first chains find the chains again, and those settle the sets anew. The
  // judge, the slow part, takes part in the second round only.
  Settled sets;
  for (const bool last : {false, true}) {
    report.guesses.clear();
    report.measures.clear();
    if (!settle_sets(pictures_of(scan), last ? judge : SliceJudge{}, start, report, sets)) {
      status = InferStatus::NoPictures;
      return false;
    }
    check_chains(scan, slice_check(sets));
  }
  report.chains = scan.chains;
  const FoundAudio audio = find_audio(scan, report);
  sets.sps.level_idc =
      level_for(sets.sps.pic_width_in_mbs * sets.sps.pic_height_in_map_units, fps_of(report.rates));
  if (!learn_found(input, scan, avc_video(scan, sets, report.b_slices), audio, report, model)) {
    status = input_failed(input) ? InferStatus::ReadFailed : InferStatus::LearnFailed;
    return false;
  }
  extrapolate(scan, report, model);
  model.reference_size = input.size;
  report.profile_idc = sets.sps.profile_idc;
  report.sps = sets.sps;
  report.pps = sets.pps;
  report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  status = InferStatus::Ok;
  return true;
}

std::string guess_comments(const InferenceReport& report) {
  std::string out;
  for (const Guess& g : report.guesses) {
    out += "# guessed " + g.field + " " + g.value + " (" + g.why + ")\n";
  }
  return out;
}

}  // namespace vidsalvage
