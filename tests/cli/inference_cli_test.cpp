#include <gtest/gtest.h>

#include <string>

#include "support/bytes.h"
#include "support/cli.h"
#include "support/hevc_bytes.h"
#include "support/temp_dir.h"

namespace vidsalvage::test {
namespace {

// The media data of a recording whose samples are HEVC slices: an IDR_W_RADL
// unit opening each picture, AAC-like bytes between them.
Bytes hevc_media() {
  Bytes body;
  for (int i = 0; i < 40; ++i) {
    const Bytes slice = {0x26, 0x01, 0xAF, 0x12, 0x34, 0x56, 0x78};
    append(body, length_prefixed(slice));
    append(body, Bytes{0x21, 0x1A, 0x8F, 0x00, 0x11});
  }
  return concat({box("ftyp", bytes_of("isom\0\0\0\0isom")), box("mdat", body)});
}

TEST(CliInferModel, SaysWhyNoModelIsInferred) {
  struct Case {
    const char* name;
    Bytes input;
    const char* line;
  };
  const Case cases[] = {
      {"no video", concat({box("ftyp", bytes_of("isom\0\0\0\0")), box("mdat", Bytes(4000, 0x5A))}),
       "No H.264 samples found in 'in.mp4'\n"},
      {"HEVC", hevc_media(),
       "HEVC video without the encoder's settings cannot be inferred yet: its picture size and "
       "coding block sizes need a reference (vidsalvage 'in.mp4' out.mp4 --reference "
       "INTACT.MP4)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool one_command : {false, true}) {
      TempDir dir;
      dir.write("in.mp4", c.input);
      const CliResult r = one_command ? run_cli(dir, {"in.mp4", "out.mp4", "--infer"})
                                      : run_cli(dir, {"in.mp4", "--INFER"});
      EXPECT_EQ(r.status, -1);
      EXPECT_EQ(r.output, banner() + "Inferring a model from 'in.mp4' alone...\n" + c.line);
      EXPECT_FALSE(dir.exists("reference.model"));
      EXPECT_FALSE(dir.exists("out.mp4"));
      EXPECT_FALSE(dir.exists("--infer"));
    }
  }
}

}  // namespace
}  // namespace vidsalvage::test
