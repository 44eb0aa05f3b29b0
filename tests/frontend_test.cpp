#include "velk/frontend.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

using Velk::VkClusterSyncParams;
using Velk::VkExtractParams;

namespace {

std::string helpText() {
  testing::internal::CaptureStdout();
  Velk::printHelp();
  return testing::internal::GetCapturedStdout();
}

struct Outcome {
  std::string out;
  std::string folder;
  std::string truth = "truth-before";
  std::string output;
  VkExtractParams extract;
  VkClusterSyncParams cluster{VkExtractParams()};
};

Outcome parse(const std::vector<std::string>& args) {
  Outcome o;
  std::vector<const char*> argv{"./Velk"};
  for (const auto& a : args) argv.push_back(a.c_str());
  testing::internal::CaptureStdout();
  const int32_t rc = Velk::parseArguments(static_cast<int32_t>(argv.size()), argv.data(), o.folder,
                                          o.truth, o.output, o.extract, o.cluster);
  o.out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, 0);
  return o;
}

// Whether parser knows name; a known option consumes its value. Returns what it printed.
template <typename Params, typename Parser>
std::string option(Parser parser, const std::string& name, const std::string& value, Params& p,
                   bool expectKnown = true) {
  int32_t index = 7;
  testing::internal::CaptureStdout();
  EXPECT_EQ(parser(index, name, value, p), expectKnown) << name;
  EXPECT_EQ(index, expectKnown ? 8 : 7) << name;
  return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(FrontEnd, FromStringReadsALeadingNumber) {
  const struct {
    const char* text;
    bool ok;
    int32_t asInt;
  } ints[] = {{"12abc", true, 12},
              {"  -7", true, -7},
              {"abc", false, 0},
              {"99999999999", false, 0}};  // out of range is a failed read
  for (const auto& c : ints) {
    int32_t i = 0;
    EXPECT_EQ(Velk::fromString(c.text, i), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(i, c.asInt) << c.text;
    }
  }
  float f = -1.0f;
  EXPECT_TRUE(Velk::fromString("1e3x", f));
  EXPECT_EQ(f, 1000.0f);
  EXPECT_FALSE(Velk::fromString("1e99", f));
}

// An accepted value is echoed; a refused one shows the value in force as the
// default. Values an option's own rule refuses, one per rule; the final fields
// show which were taken.
struct OptionCase {
  const char* name;
  const char* value;
  const char* printed;
};

TEST(FrontEnd, ExtractionAndClusterSyncOptions) {
  const OptionCase extract[] = {
      {"-fftsize", "1000",
       "Invalid FFTSIZE.  Must be a power of two and greater than 0.\nDefault is 512\n"},
      {"-fftsize", "4", "FFTSIZE: 4\n"},  // echoed, but refused by the setter
      {"-fftsize", "1024", "FFTSIZE: 1024\n"},
      {"-hopsize", "12abc", "HOPSIZE: 12\n"},
      {"-hopsize", "0", "Invalid HOPSIZE.  Must be greater than 0\nDefault is 12\n"},
      {"-samplerate", "16000",
       "SAMPLERATE: 16000\nCAUTION: Changing the sample rate can drastically\nchange things and "
       "needs to match the sample rateof ALL the files to be processed.\n"},
      {"-maxpairsperpeak", "2", "MAX PAIRS PER PEAK: 2\n"},
      {"-freqrange", "31", "FREQUENCY RANGE: 31\n"},
      {"-timerange", "64", "TIME RANGE: 64\n"},
      {"-decayperframe", "0.5",
       "Invalid DB DECAY RANGE.  Must be greater than 0\nDefault is 0.2\n"},
      {"-decayperframe", "2", "DB DECAY RANGE: 2\n"},
      {"-peakwidth", "12.25", "PEAK WIDTH: 12.25\n"},
      {"-dbthreshold", "40", "Invalid DB THRESHOLD.  Must be less than 0\nDefault is -60\n"},
      {"-dbthreshold", "-30", "DB THRESHOLD: -30\n"},
      {"-maxpeaksperframe", "8", "MAX PEAKS PER FRAME: 8\n"},
      {"-peakdynrange", "30.5", "PEAK DYN RANGE: 30.5\n"},
  };
  const OptionCase cluster[] = {
      {"-maxlandmarks", "0", "Invalid MAX LANDMARKS.\nDefault is 250\n"},
      {"-maxlandmarks", "300", "MAX LANDMARKS: 300\n"},
      {"-accepttreshold", "9", "ACCEPT TRESHOLD: 9\n"},
      {"-mintemplatelength", "2.5", "MIN TEMPLATE LENGTH: 2.5\n"},
      {"-minoverlaplength", "0", "MIN OVERLAP LENGTH: 0\n"},  // 0 is allowed
      {"-minoverlaplength", "-0.5",
       "Invalid MIN OVERLAP LENGTH.  Must be greater than or equal to 0.\nDefault is 0\n"},
      {"-minpercentmatch", "2", "MIN PERCENT MATCH: 2\n"},  // echoed, but refused by the setter
      {"-minpercentmatch", "0.01", "MIN PERCENT MATCH: 0.01\n"},
  };
  VkExtractParams e;
  VkClusterSyncParams c{VkExtractParams()};
  for (const OptionCase& o : extract)
    EXPECT_EQ(option(Velk::parseExtractOption, o.name, o.value, e), o.printed) << o.name << o.value;
  for (const OptionCase& o : cluster)
    EXPECT_EQ(option(Velk::parseClusterSyncOption, o.name, o.value, c), o.printed)
        << o.name << o.value;
  EXPECT_EQ(std::make_tuple(e.getFftSize(), e.getHopSize(), e.getSampleRate(),
                            e.getMaxPairsPerPeak(), e.freqRange, e.timeRange, e.maxPeaksPerFrame),
            std::make_tuple(1024u, 12u, 16000u, 2u, 31, 64, 8u));
  EXPECT_EQ((std::vector<float>{e.decayPerFrame, e.peakWidth, e.dbThreshold, e.peakDynRange}),
            (std::vector<float>{2.0f, 12.25f, -30.0f, 30.5f}));
  EXPECT_EQ(std::make_tuple(c.getMaxLandmarks(), c.getAcceptThreshold(), c.getMinTemplateLength(),
                            c.getMinOverlapLength(), c.getMinPercentMatch()),
            std::make_tuple(300u, 9u, 2.5f, 0.0f, 0.01f));

  // Not the parser's option: nothing printed, nothing consumed; matching is exact.
  for (const char* other : {"-maxlandmarks", "-FFTSIZE", "-fftsize "})
    EXPECT_EQ(option(Velk::parseExtractOption, other, "10", e, false), "");
  EXPECT_EQ(option(Velk::parseClusterSyncOption, "-fftsize", "1024", c, false), "");
}

TEST(FrontEnd, ArgumentsFillTheOutputs) {
  const std::string help = helpText();
  Outcome o = parse(
      {"-f", "a", "-h", "-fftsize", "1024", "-maxlandmarks", "100", "-f", "b", "-o", "out", "-t"});
  EXPECT_EQ(o.out, "-f a\n" + help +
                       "-fftsize 1024\nFFTSIZE: 1024\n"
                       "-maxlandmarks 100\nMAX LANDMARKS: 100\n"
                       "-f b\n-o out\n")
      << "help does not stop parsing; a trailing option without value is dropped silently";
  EXPECT_EQ(o.folder, "b");
  EXPECT_EQ(o.output, "out");
  EXPECT_EQ(o.truth, "truth-before") << "outputs are never cleared";
  EXPECT_EQ(o.extract.getFftSize(), 1024u);
  EXPECT_EQ(o.cluster.getMaxLandmarks(), 100u);

  Outcome t = parse({"-help", "-t", "truth.xml", "-f", "folder"});
  EXPECT_EQ(t.out, help + "-t truth.xml\n-f folder\n");
  EXPECT_EQ(t.truth, "truth.xml");
}
