#include "velk/frontend.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

using Velk::VkClusterSyncParams;
using Velk::VkExtractParams;

namespace {

// The help text, piece by piece as the tool's documentation gives it.
const char* const kHelpPieces[] = {
    "////////////////////////////////////////////////////////////////////////////////\n",
    "\n",  // end-of-line
    "VELK: CLUSTER AND SYNCHRONIZE RECORDINGS OF ONE EVENT\n\n",
    "The Velk developers\n",
    "       Velk project\n\n",
    "2026\n\n",
    "About: This program attempts to identify, group, and synchronize multiple\n",
    "       recordings of the same event.  As input, wavfiles are processed (all\n",
    "       with the same sample rate). The clustering process can be evaluated by\n",
    "       providing a correctly formated truth.xml file. The clustered and \n",
    "       sychronized wavfiles can then be output in a series of folders and\n",
    "       updated wavefiles. The command line arguments can be used to specify\n",
    "       various rquired and option settings listed below.\n\n",
    "EXAMPLE USAGE:\n\n",
    "EXAMPLE 1:\n\n",
    "type: ./Velk -f audiofolder\n\n",
    "Description:   This simply runs the program and will attempt to\n",
    "               cluster and synchronize all wavfiles in the audiofolder.\n\n",
    "EXAMPLE 2:\n\n",
    "type: ./Velk -f audiofolder -t truth.xml\n\n",
    "Description:   This runs the program as in EXAMPLE 1, and then \n",
    "               additionally evaluates the clustering accuracy\n",
    "               given the specified clusters in the truth.xml file.\n\n",
    "EXAMPLE 3:\n\n",
    "./Velk -f audiofolder -t truth.xml -o outputfolder\n\n",
    "Description:   This runs the program as in EXAMPLE 2, and then outputs \n",
    "               updated audio files, separated by cluster to the outputfolder.\n\n",
    "EXAMPLE 4:\n\n",
    "./Velk -f audiofolder -t truth.xml -o outputfolder -fftsize 1024\n\n",
    "Description:   This runs the program as in EXAMPLE 3, but also\n",
    "               changes the fftsize of the feature extraction process.\n\n",
    "\n",  // end-of-line
    "\n",  // end-of-line
    "\n",  // end-of-line
    "REQUIRED FLAGS:\n\n",
    "-f <folderpath>\n\n",
    "       Specify the folder path where the audio files are located.\n",
    "\n\n",
    "OPTIONAL FLAGS:\n\n",
    "-t <filepath>\n\n",
    "       Allows the user to input an xml specifying the groundtruth.\n",
    "       To get an evaluation score, a correctly formated file must be given.\n",
    "       Note, the file names in truth file must be identical to the audio file\n",
    "       names.\n",
    "\n\n",
    "-o <folderpath>\n\n",
    "       Allows the user to output the clustered and synchronized wavefiles.\n",
    "       If given, the input wavefiles will be updated (synced) stored in the\n",
    "       provided folderpath.\n",
    "\n\n",
    "-h \n\n\t\t Prints the help menu.",
    "\n\n",
    "\n\nOPTIONAL FEATURE EXTRACTION FLAGS:\n\n",
    "-fftsize \n\n",
    "       Specify the fftsize in samples for feature extraction.\n",
    "       The larger the fftsize, the more accurate the frequency of the peak \n",
    "       picking can be, etc.  Note, however, that as this increases, the  \n",
    "       landmark collisions will be more sparse and can negatively effect \n",
    "       the clustering.\n",
    "\n\n",
    "-hopsize \n\n",
    "       Specify the hopsize in samples for feature extraction.\n",
    "       The smaller the hopsize, the more accurate the time of the peak\n",
    "       picking can be, etc.  Note, however, that as this decreases, the \n",
    "       landmark collisions will be more sparse and can negatively effect\n",
    "       the clustering.\n",
    "\n\n",
    "-samplerate \n\n\t\t Specify the sample rate that is used for feature extraction.\n",
    "       This sample rate must be the same as the sample rate of all files used.\n",
    "       Note all default parameters are tuned to 8k audio.  Anything different \n",
    "       will probabily drastically change the clustering and synchronization.\n",
    "\n\n",
    "-maxpeaksperframe \n\n",
    "       Specify the maximum number of peaks that can be used per STFT frame.\n",
    "       If there are more peaks in a given frame, the top amplitude peaks are\n",
    "       saved.\n",
    "\n\n",
    "-maxpairsperpeak \n\n",
    "       Specify the maximum number of landmarks that can be\n",
    "       enerated from a set of time-frequency peaks.\n",
    "       Neighboring peaks are paired together. This specifies the maximum number\n",
    "       of resulting pairs from all peaks within a given neighborhood.\n",
    "\n\n",
    "-dbthreshold \n\n",
    "       Specify the lower threshold limit (in negative dB) for pruning peaks.\n",
    "       When computing frequency peaks from the STFT, the peaks are normalized \n",
    "       to the maximum level of the STFT magnitude.  All values below the maximum\n",
    "       level by dbthreshold will be removed and not used to cluster or sync.\n",
    "       This helps remove erroneous or low amplitude peaks.\n",
    "\n\n",
    "-freqrange \n\n",
    "       Specify the frequency range in fft bins used to match peaks \n",
    "       together. Neighboring peaks are paried together to generate the resulting\n",
    "       landmarks. The larger the freqrange, the greater the number of peaks \n",
    "       within a neighborhood region.",
    "\n\n",
    "-timerange \n\n",
    "       Specify the time range in hopsize units used to match peaks together.\n",
    "       Neighboring peaks are paried together to generate the resulting landmarks.\n",
    "       The larger the timerange, the greater the number of peaks within a \n",
    "       neighborhood region.",
    "\n\n",
    "-decayperframe \n\n",
    "       Specify the decay rate used for the threshold detector in dB per frame.\n",
    "       A threshold detector is used to detect when time-frequency peaks occur \n",
    "       when processing the STFT.  The current threshold level is decayed from \n",
    "       frame-to-frame.  This controls how fast the threshold decays. \n",
    "       The larger the decayperframe, the faster the threshold decays\n",
    "       causing more masking of the peaks over time (and more landmarks).",
    "\n\n",
    "-peakwidth \n\n",
    "       Specify the width of the Gaussian that is used to mask the found peaks.\n",
    "       Local frequency peaks are used to update the current threshold level detector.\n",
    "       To update the threshold, a Gaussian window is placed around each local peak.\n",
    "       The larger the peakwidth, the less peaks (and landmarks) are found, as more\n",
    "       mask from the window occurs across frequency.\n",
    "\n\n",
    "-peakdynrange \n\n",
    "       Specify the dynamic range of the Gaussian that is used to mask the found peaks.\n",
    "       Local frequency peaks are used to update the current threshold level detector.\n",
    "       To update the threshold, a Gaussian window is placed around each local peak.\n",
    "       the peakdynrange is the amplitude of the window in dB that is place at the peak\n",
    "       location.\n",
    "\n\n",
    "\n\nOPTIONAL CLUSTER AND SYNC FLAGS:\n\n",
    "-maxlandmarks \n\n",
    "       Specifies the threshold to remove landmarks that are \"too popular\".\n",
    "       When computing the landmarks for each file, certain landmarks are found to \n",
    "       be very common. These common landmarks are essentially just noise.  When \n",
    "       they are removed, it speeds things up and is more accurate.\n",
    "\n\n",
    "-accepttreshold \n\n",
    "       Specifies the minumum number of matching landmarks needed to accept a match.\n",
    "       When deciding if two files should match, the number of identical matching \n",
    "       landmarks is computed.  Sometimes there will be a small amount of matching\n",
    "       landmarks that are caused by noise.  To filter out the noise, a threshold\n",
    "       is used to reject a match that has fewer than accepttreshold identical landmarks.\n",
    "\n\n",
    "-mintemplatelength \n\n",
    "       Specifies the minimum template length in seconds needed to accept a match.\n",
    "       When deciding if two files should match, the number of identical matching \n",
    "       landmarks is computed.  The set of matching landmarks defines a template \n",
    "       region across time and frequency. When the time range (in seconds) of \n",
    "       the template is below mintemplatelength, the potential match is rejected.\n",
    "\n\n",
    "-minoverlaplength \n\n",
    "       Specifies the minimum overlap length in seconds needed to accept a match.\n",
    "       When deciding if two files should match, the number of identical matching \n",
    "       landmarks is computed.  The set of matching landmarks implies a region of \n",
    "       overlap between the the two files. All potential matches that imply an \n",
    "       region of overlap below minoverlaplength are rejected.\n",
    "\n\n",
    "-minpercentmatch \n\n",
    "       Specifies the minimum percent of landmarks that need to match on the overlap\n",
    "       region.  When deciding if two files should match, the number of matching\n",
    "       landmarks is computed. and compared to the total number of landmarks in \n",
    "       the overlap region.  If the total percentage of matching landmarks on both\n",
    "       files is low, the match is rejected.\n",
    "\n\n",
};

std::string expectedHelp() {
  std::string s;
  for (const char* p : kHelpPieces) s += p;
  return s;
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

template <typename Params, typename Parser>
std::string option(Parser parser, const std::string& name, const std::string& value, Params& p,
                   bool expectKnown = true) {
  int32_t index = 7;
  testing::internal::CaptureStdout();
  const bool known = parser(index, name, value, p);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(known, expectKnown) << name;
  EXPECT_EQ(index, expectKnown ? 8 : 7) << name << ": a known option consumes its value";
  return out;
}

std::string extractOpt(const std::string& name, const std::string& value, VkExtractParams& p,
                       bool expectKnown = true) {
  return option(Velk::parseExtractOption, name, value, p, expectKnown);
}

std::string clusterOpt(const std::string& name, const std::string& value, VkClusterSyncParams& p,
                       bool expectKnown = true) {
  return option(Velk::parseClusterSyncOption, name, value, p, expectKnown);
}

}  // namespace

TEST(FrontEnd, HelpTextIsExact) {
  testing::internal::CaptureStdout();
  Velk::printHelp();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), expectedHelp());
}

TEST(FrontEnd, FromStringReadsALeadingNumber) {
  int32_t i = -1;
  EXPECT_TRUE(Velk::fromString("12abc", i));
  EXPECT_EQ(i, 12);
  EXPECT_TRUE(Velk::fromString("0.5", i));
  EXPECT_EQ(i, 0);
  EXPECT_TRUE(Velk::fromString("  -7", i));
  EXPECT_EQ(i, -7);
  EXPECT_TRUE(Velk::fromString("+3", i));
  EXPECT_EQ(i, 3);
  EXPECT_FALSE(Velk::fromString("abc", i));
  EXPECT_FALSE(Velk::fromString("", i));
  EXPECT_FALSE(Velk::fromString("99999999999", i)) << "out of range is a failed read";

  float f = -1.0f;
  EXPECT_TRUE(Velk::fromString("1e3x", f));
  EXPECT_EQ(f, 1000.0f);
  EXPECT_TRUE(Velk::fromString("-0.25", f));
  EXPECT_EQ(f, -0.25f);
  EXPECT_FALSE(Velk::fromString("x1", f));
  EXPECT_FALSE(Velk::fromString("1e99", f));
}

TEST(FrontEnd, ExtractionOptions) {
  VkExtractParams p;
  EXPECT_EQ(extractOpt("-fftsize", "1000", p),
            "Invalid FFTSIZE.  Must be a power of two and greater than 0.\nDefault is 512\n");
  EXPECT_EQ(extractOpt("-fftsize", "-8", p),
            "Invalid FFTSIZE.  Must be a power of two and greater than 0.\nDefault is 512\n");
  EXPECT_EQ(extractOpt("-fftsize", "4", p), "FFTSIZE: 4\n");
  EXPECT_EQ(p.getFftSize(), 512u) << "echoed, but refused by the setter";
  EXPECT_EQ(extractOpt("-fftsize", "1024", p), "FFTSIZE: 1024\n");
  EXPECT_EQ(p.getFftSize(), 1024u);
  EXPECT_EQ(extractOpt("-fftsize", "0", p),
            "Invalid FFTSIZE.  Must be a power of two and greater than 0.\nDefault is 1024\n")
      << "the default line shows the current value";

  EXPECT_EQ(extractOpt("-hopsize", "12abc", p), "HOPSIZE: 12\n");
  EXPECT_EQ(p.getHopSize(), 12u);
  EXPECT_EQ(extractOpt("-hopsize", "0", p),
            "Invalid HOPSIZE.  Must be greater than 0\nDefault is 12\n");

  const std::string caution =
      "CAUTION: Changing the sample rate can drastically\n"
      "change things and needs to match the sample rateof ALL the files to be processed.\n";
  EXPECT_EQ(extractOpt("-samplerate", "16000", p), "SAMPLERATE: 16000\n" + caution);
  EXPECT_EQ(p.getSampleRate(), 16000u);
  EXPECT_EQ(extractOpt("-samplerate", "3000", p), "SAMPLERATE: 3000\n" + caution);
  EXPECT_EQ(p.getSampleRate(), 16000u);
  EXPECT_EQ(extractOpt("-samplerate", "x", p),
            "Invalid SAMPLERATE.  Must be greater than 0\nDefault is 16000\n");

  EXPECT_EQ(extractOpt("-maxpairsperpeak", "3", p), "MAX PAIRS PER PEAK: 3\n");
  EXPECT_EQ(p.getMaxPairsPerPeak(), 3u);
  EXPECT_EQ(extractOpt("-maxpairsperpeak", "-3", p),
            "Invalid MAX PAIRS PER PEAK.  Must be greater than 0\nDefault is 3\n");

  EXPECT_EQ(extractOpt("-freqrange", "0", p),
            "Invalid FREQUENCY RANGE.  Must be greater than 0\nDefault is 62\n");
  EXPECT_EQ(extractOpt("-freqrange", "31", p), "FREQUENCY RANGE: 31\n");
  EXPECT_EQ(p.freqRange, 31);
  EXPECT_EQ(extractOpt("-timerange", "-1", p),
            "Invalid TIME RANGE.  Must be greater than 0\nDefault is 126\n");
  EXPECT_EQ(extractOpt("-timerange", "64", p), "TIME RANGE: 64\n");
  EXPECT_EQ(p.timeRange, 64);

  EXPECT_EQ(extractOpt("-decayperframe", "0.5", p),
            "Invalid DB DECAY RANGE.  Must be greater than 0\nDefault is 0.2\n");
  EXPECT_EQ(extractOpt("-decayperframe", "2", p), "DB DECAY RANGE: 2\n");
  EXPECT_EQ(p.decayPerFrame, 2.0f);

  EXPECT_EQ(extractOpt("-peakwidth", "12.5", p), "PEAK WIDTH: 12.5\n");
  EXPECT_EQ(p.peakWidth, 12.5f);
  EXPECT_EQ(extractOpt("-peakwidth", "0", p),
            "Invalid PEAK WIDTH.  Must be greater than 0\nDefault is 12.5\n");

  EXPECT_EQ(extractOpt("-dbthreshold", "-40", p), "DB THRESHOLD: -40\n");
  EXPECT_EQ(p.dbThreshold, -40.0f);
  EXPECT_EQ(extractOpt("-dbthreshold", "40", p),
            "Invalid DB THRESHOLD.  Must be less than 0\nDefault is -40\n");
  EXPECT_EQ(p.dbThreshold, -40.0f);

  EXPECT_EQ(extractOpt("-maxpeaksperframe", "0", p),
            "Invalid MAX PEAKS PER FRAME.  Must be greater than 0\nDefault is 5\n");
  EXPECT_EQ(extractOpt("-maxpeaksperframe", "8", p), "MAX PEAKS PER FRAME: 8\n");
  EXPECT_EQ(p.maxPeaksPerFrame, 8u);

  EXPECT_EQ(extractOpt("-peakdynrange", "-1", p),
            "Invalid PEAK DYN RANGE.  Must be greater than 0\nDefault is 40\n");
  EXPECT_EQ(extractOpt("-peakdynrange", "30.5", p), "PEAK DYN RANGE: 30.5\n");
  EXPECT_EQ(p.peakDynRange, 30.5f);

  // Not an extraction option: nothing printed, nothing consumed; matching is exact.
  EXPECT_EQ(extractOpt("-maxlandmarks", "10", p, false), "");
  EXPECT_EQ(extractOpt("-FFTSIZE", "1024", p, false), "");
  EXPECT_EQ(extractOpt("-fftsize ", "1024", p, false), "");
}

TEST(FrontEnd, ClusterSyncOptions) {
  VkClusterSyncParams p{VkExtractParams()};
  EXPECT_EQ(clusterOpt("-maxlandmarks", "0", p), "Invalid MAX LANDMARKS.\nDefault is 250\n");
  EXPECT_EQ(clusterOpt("-maxlandmarks", "many", p), "Invalid MAX LANDMARKS.\nDefault is 250\n");
  EXPECT_EQ(p.getMaxLandmarks(), 250u);
  EXPECT_EQ(clusterOpt("-maxlandmarks", "300", p), "MAX LANDMARKS: 300\n");
  EXPECT_EQ(p.getMaxLandmarks(), 300u);

  EXPECT_EQ(clusterOpt("-accepttreshold", "0", p),
            "Invalid ACCEPT TRESHOLD.  Must be greater than 0.\nDefault is 5\n");
  EXPECT_EQ(clusterOpt("-accepttreshold", "9", p), "ACCEPT TRESHOLD: 9\n");
  EXPECT_EQ(p.getAcceptThreshold(), 9u);

  EXPECT_EQ(clusterOpt("-mintemplatelength", "-1", p),
            "Invalid MIN TEMPLATE LENGTH.  Must be greater than or equal to 0.\nDefault is 3\n");
  EXPECT_EQ(clusterOpt("-mintemplatelength", "2.5", p), "MIN TEMPLATE LENGTH: 2.5\n");
  EXPECT_EQ(p.getMinTemplateLength(), 2.5f);

  EXPECT_EQ(clusterOpt("-minoverlaplength", "0", p), "MIN OVERLAP LENGTH: 0\n");
  EXPECT_EQ(p.getMinOverlapLength(), 0.0f);
  EXPECT_EQ(clusterOpt("-minoverlaplength", "-0.5", p),
            "Invalid MIN OVERLAP LENGTH.  Must be greater than or equal to 0.\nDefault is 0\n");

  EXPECT_EQ(clusterOpt("-minpercentmatch", "2", p), "MIN PERCENT MATCH: 2\n");
  EXPECT_EQ(p.getMinPercentMatch(), 0.0025f) << "echoed, but refused by the setter";
  EXPECT_EQ(clusterOpt("-minpercentmatch", "-0.1", p),
            "Invalid MIN PERCENT MATCH.  Must be greater than or equal to 0.\nDefault is 0.0025\n");
  EXPECT_EQ(clusterOpt("-minpercentmatch", "0.01", p), "MIN PERCENT MATCH: 0.01\n");
  EXPECT_EQ(p.getMinPercentMatch(), 0.01f);

  EXPECT_EQ(clusterOpt("-fftsize", "1024", p, false), "");
}

TEST(FrontEnd, ArgumentsFillTheOutputs) {
  const std::string help = expectedHelp();
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

TEST(FrontEnd, UnknownArgumentConsumesOnlyItself) {
  const std::string help = expectedHelp();
  Outcome o = parse({"-x", "5", "-f", "folder"});
  EXPECT_EQ(o.out, "-x 5\nUnknown input arguments\n" + help + "5 -f\nUnknown input arguments\n" +
                       help + "-f folder\n");
  EXPECT_EQ(o.folder, "folder");
}

// Death tests match what reaches stderr, so the child sends stdout there.
void parseWithStdoutOnStderr(int32_t argc, const char* const* argv) {
  std::cout.rdbuf(std::cerr.rdbuf());
  std::string folder, truth, output;
  VkExtractParams e;
  VkClusterSyncParams c(e);
  Velk::parseArguments(argc, argv, folder, truth, output, e, c);
}

TEST(FrontEndDeathTest, MissingFolderEndsTheProcess) {
  const char* const pattern =
      "\\[ERROR\\]: Must provide folder path of media files to synchronize\n/{80}\n\nVELK";
  const char* none[] = {"./Velk"};
  EXPECT_EXIT(parseWithStdoutOnStderr(1, none), testing::ExitedWithCode(1), pattern);
  const char* noFolder[] = {"./Velk", "-fftsize", "1024", "-f"};
  EXPECT_EXIT(parseWithStdoutOnStderr(4, noFolder), testing::ExitedWithCode(1),
              std::string("-fftsize 1024\nFFTSIZE: 1024\n") + pattern);
}
