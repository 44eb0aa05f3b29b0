#include "velk/frontend.h"

#include <cstdlib>
#include <iostream>
#include <locale>
#include <sstream>

namespace Velk {

namespace {

// Reads one number of type T from the start of text; the classic locale keeps a
// host's global locale from changing what a decimal point is.
template <typename T>
bool readNumber(const char* text, T& out) {
  if (text == nullptr) return false;
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  in >> out;
  return !in.fail();
}

// "Invalid ..." pieces, then the option's current value as the default.
template <typename V>
void printInvalid(const char* first, const char* second, V current) {
  std::cout << first << second << "Default is " << current << std::endl;
}

}  // namespace

bool fromString(const char* text, int32_t& out) { return readNumber(text, out); }

bool fromString(const char* text, float& out) { return readNumber(text, out); }

namespace {

template <typename T>
bool positive(T v) {
  return v > T(0);
}

template <typename T>
bool notNegative(T v) {
  return v >= T(0);
}

// Reads text as a T; when accept takes it, echoes "LABEL: v" and hands it to
// store, otherwise says why with current, the value that stays in force.
template <typename T, typename Accept, typename Store, typename V>
void setChecked(const char* text, const std::string& label, const char* rule, Accept accept,
                Store store, V current) {
  T v{};
  if (fromString(text, v) && accept(v)) {
    std::cout << label << ": " << v << std::endl;
    store(v);
  } else {
    printInvalid(("Invalid " + label + ".  ").c_str(), rule, current);
  }
}

// The frame, the rate and how many landmarks a peak makes.
bool parseFrameOption(const std::string& option, const char* text, VkExtractParams& params) {
  const char* positiveRule = "Must be greater than 0\n";
  if (option == "-fftsize") {
    // v >= 1 is tested first so that v - 1 cannot overflow.
    setChecked<int32_t>(
        text, "FFTSIZE", "Must be a power of two and greater than 0.\n",
        [](int32_t v) { return v >= 1 && (v & (v - 1)) == 0; },
        [&params](int32_t v) { params.setFftSize(static_cast<unsigned int>(v)); },
        params.getFftSize());
  } else if (option == "-hopsize") {
    setChecked<int32_t>(
        text, "HOPSIZE", positiveRule, positive<int32_t>,
        [&params](int32_t v) { params.setHopSize(static_cast<unsigned int>(v)); },
        params.getHopSize());
  } else if (option == "-samplerate") {
    setChecked<int32_t>(
        text, "SAMPLERATE", positiveRule, positive<int32_t>,
        [&params](int32_t v) {
          std::cout << "CAUTION: Changing the sample rate can drastically\n"
                    << "change things and needs to match the sample rate"
                    << "of ALL the files to be processed.\n";
          params.setSampleRate(static_cast<unsigned int>(v));
        },
        params.getSampleRate());
  } else if (option == "-maxpairsperpeak") {
    setChecked<int32_t>(
        text, "MAX PAIRS PER PEAK", positiveRule, positive<int32_t>,
        [&params](int32_t v) { params.setMaxPairsPerPeak(static_cast<unsigned int>(v)); },
        params.getMaxPairsPerPeak());
  } else {
    return false;
  }
  return true;
}

// Which peaks are kept and paired.
bool parsePeakOption(const std::string& option, const char* text, VkExtractParams& params) {
  const char* positiveRule = "Must be greater than 0\n";
  if (option == "-freqrange") {
    setChecked<int32_t>(
        text, "FREQUENCY RANGE", positiveRule, positive<int32_t>,
        [&params](int32_t v) { params.freqRange = v; }, params.freqRange);
  } else if (option == "-timerange") {
    setChecked<int32_t>(
        text, "TIME RANGE", positiveRule, positive<int32_t>,
        [&params](int32_t v) { params.timeRange = v; }, params.timeRange);
  } else if (option == "-decayperframe") {
    // Read as an integer: a fractional decay such as 0.5 reads as 0 and is refused.
    setChecked<int32_t>(
        text, "DB DECAY RANGE", positiveRule, positive<int32_t>,
        [&params](int32_t v) { params.decayPerFrame = static_cast<float>(v); },
        params.decayPerFrame);
  } else if (option == "-peakwidth") {
    setChecked<float>(
        text, "PEAK WIDTH", positiveRule, positive<float>,
        [&params](float v) { params.peakWidth = v; }, params.peakWidth);
  } else if (option == "-dbthreshold") {
    setChecked<float>(
        text, "DB THRESHOLD", "Must be less than 0\n", [](float v) { return v < 0.0f; },
        [&params](float v) { params.dbThreshold = v; }, params.dbThreshold);
  } else if (option == "-maxpeaksperframe") {
    setChecked<int32_t>(
        text, "MAX PEAKS PER FRAME", positiveRule, positive<int32_t>,
        [&params](int32_t v) { params.maxPeaksPerFrame = static_cast<uint32_t>(v); },
        params.maxPeaksPerFrame);
  } else if (option == "-peakdynrange") {
    setChecked<float>(
        text, "PEAK DYN RANGE", positiveRule, positive<float>,
        [&params](float v) { params.peakDynRange = v; }, params.peakDynRange);
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool parseExtractOption(int32_t& index, const std::string& option, const std::string& value,
                        VkExtractParams& params) {
  if (!parseFrameOption(option, value.c_str(), params) &&
      !parsePeakOption(option, value.c_str(), params))
    return false;
  ++index;
  return true;
}

bool parseClusterSyncOption(int32_t& index, const std::string& option, const std::string& value,
                            VkClusterSyncParams& params) {
  const char* text = value.c_str();
  const char* atLeastZero = "Must be greater than or equal to 0.\n";
  if (option == "-maxlandmarks") {
    // Here the setter decides, and the echo comes after the store.
    int32_t v = 0;
    if (fromString(text, v) && params.setMaxLandmarks(static_cast<unsigned int>(v))) {
      std::cout << "MAX LANDMARKS: " << v << std::endl;
    } else {
      printInvalid("Invalid MAX LANDMARKS.\n", "", params.getMaxLandmarks());
    }
  } else if (option == "-accepttreshold") {
    setChecked<int32_t>(
        text, "ACCEPT TRESHOLD", "Must be greater than 0.\n", positive<int32_t>,
        [&params](int32_t v) { params.setAcceptThreshold(static_cast<unsigned int>(v)); },
        params.getAcceptThreshold());
  } else if (option == "-mintemplatelength") {
    setChecked<float>(
        text, "MIN TEMPLATE LENGTH", atLeastZero, notNegative<float>,
        [&params](float v) { params.setMinTemplateLength(v); }, params.getMinTemplateLength());
  } else if (option == "-minoverlaplength") {
    setChecked<float>(
        text, "MIN OVERLAP LENGTH", atLeastZero, notNegative<float>,
        [&params](float v) { params.setMinOverlapLength(v); }, params.getMinOverlapLength());
  } else if (option == "-minpercentmatch") {
    setChecked<float>(
        text, "MIN PERCENT MATCH", atLeastZero, notNegative<float>,
        [&params](float v) { params.setMinPercentMatch(v); }, params.getMinPercentMatch());
  } else {
    return false;
  }
  ++index;
  return true;
}

int32_t parseArguments(int32_t argc, const char* const* argv, std::string& folderPath,
                       std::string& truthPath, std::string& outputPath, VkExtractParams& extract,
                       VkClusterSyncParams& clusterSync) {
  for (int32_t i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "-help") {
      printHelp();
      continue;
    }
    // An option with nothing after it is dropped silently.
    if (i + 1 == argc) continue;
    std::cout << argv[i] << " " << argv[i + 1] << std::endl;
    if (parseExtractOption(i, arg, argv[i + 1], extract) ||
        parseClusterSyncOption(i, arg, argv[i + 1], clusterSync)) {
      continue;
    }
    if (arg == "-f") {
      folderPath = argv[i + 1];
      ++i;
    } else if (arg == "-t") {
      truthPath = argv[i + 1];
      ++i;
    } else if (arg == "-o") {
      outputPath = argv[i + 1];
      ++i;
    } else {
      // Only the unknown word is consumed; its neighbour is examined in its turn.
      std::cout << "Unknown input arguments" << std::endl;
      printHelp();
    }
  }
  if (folderPath.empty()) {
    std::cout << "[ERROR]: Must provide folder path of media files to synchronize" << std::endl;
    printHelp();
    std::exit(1);
  }
  return 0;
}

namespace {

// Who wrote the tool, what it does and four ways to run it.
void printHelpIntro() {
  std::cout << "////////////////////////////////////////////////////////////////////////////////\n"
            << std::endl;
  std::cout << "VELK: CLUSTER AND SYNCHRONIZE RECORDINGS OF ONE EVENT\n\n"
            << "The Velk developers\n"
            << "       Velk project\n\n"
            << "2026\n\n"
            << "About: This program attempts to identify, group, and synchronize multiple\n"
            << "       recordings of the same event.  As input, wavfiles are processed (all\n"
            << "       with the same sample rate). The clustering process can be evaluated by\n"
            << "       providing a correctly formated truth.xml file. The clustered and \n"
            << "       sychronized wavfiles can then be output in a series of folders and\n"
            << "       updated wavefiles. The command line arguments can be used to specify\n"
            << "       various rquired and option settings listed below.\n\n"
            << "EXAMPLE USAGE:\n\n"
            << "EXAMPLE 1:\n\n"
            << "type: ./Velk -f audiofolder\n\n"
            << "Description:   This simply runs the program and will attempt to\n"
            << "               cluster and synchronize all wavfiles in the audiofolder.\n\n"
            << "EXAMPLE 2:\n\n"
            << "type: ./Velk -f audiofolder -t truth.xml\n\n"
            << "Description:   This runs the program as in EXAMPLE 1, and then \n"
            << "               additionally evaluates the clustering accuracy\n"
            << "               given the specified clusters in the truth.xml file.\n\n"
            << "EXAMPLE 3:\n\n"
            << "./Velk -f audiofolder -t truth.xml -o outputfolder\n\n"
            << "Description:   This runs the program as in EXAMPLE 2, and then outputs \n"
            << "               updated audio files, separated by cluster to the outputfolder.\n\n"
            << "EXAMPLE 4:\n\n"
            << "./Velk -f audiofolder -t truth.xml -o outputfolder -fftsize 1024\n\n"
            << "Description:   This runs the program as in EXAMPLE 3, but also\n"
            << "               changes the fftsize of the feature extraction process.\n\n"
            << std::endl;
  std::cout << std::endl;
  std::cout << std::endl;
}

// The folder, the truth file, the output folder and help.
void printHelpFlags() {
  std::cout << "REQUIRED FLAGS:\n\n"
            << "-f <folderpath>\n\n"
            << "       Specify the folder path where the audio files are located.\n"
            << "\n\n"
            << "OPTIONAL FLAGS:\n\n"
            << "-t <filepath>\n\n"
            << "       Allows the user to input an xml specifying the groundtruth.\n"
            << "       To get an evaluation score, a correctly formated file must be given.\n"
            << "       Note, the file names in truth file must be identical to the audio file\n"
            << "       names.\n"
            << "\n\n"
            << "-o <folderpath>\n\n"
            << "       Allows the user to output the clustered and synchronized wavefiles.\n"
            << "       If given, the input wavefiles will be updated (synced) stored in the\n"
            << "       provided folderpath.\n"
            << "\n\n"
            << "-h \n\n\t\t Prints the help menu."
            << "\n\n";
}

// How the audio is framed and which peaks become landmarks.
void printHelpFrameFlags() {
  std::cout << "\n\nOPTIONAL FEATURE EXTRACTION FLAGS:\n\n"
            << "-fftsize \n\n"
            << "       Specify the fftsize in samples for feature extraction.\n"
            << "       The larger the fftsize, the more accurate the frequency of the peak \n"
            << "       picking can be, etc.  Note, however, that as this increases, the  \n"
            << "       landmark collisions will be more sparse and can negatively effect \n"
            << "       the clustering.\n"
            << "\n\n"
            << "-hopsize \n\n"
            << "       Specify the hopsize in samples for feature extraction.\n"
            << "       The smaller the hopsize, the more accurate the time of the peak\n"
            << "       picking can be, etc.  Note, however, that as this decreases, the \n"
            << "       landmark collisions will be more sparse and can negatively effect\n"
            << "       the clustering.\n"
            << "\n\n"
            << "-samplerate \n\n\t\t Specify the sample rate that is used for feature extraction.\n"
            << "       This sample rate must be the same as the sample rate of all files used.\n"
            << "       Note all default parameters are tuned to 8k audio.  Anything different \n"
            << "       will probabily drastically change the clustering and synchronization.\n"
            << "\n\n"
            << "-maxpeaksperframe \n\n"
            << "       Specify the maximum number of peaks that can be used per STFT frame.\n"
            << "       If there are more peaks in a given frame, the top amplitude peaks are\n"
            << "       saved.\n"
            << "\n\n"
            << "-maxpairsperpeak \n\n"
            << "       Specify the maximum number of landmarks that can be\n"
            << "       enerated from a set of time-frequency peaks.\n"
            << "       Neighboring peaks are paired together. This specifies the maximum number\n"
            << "       of resulting pairs from all peaks within a given neighborhood.\n"
            << "\n\n"
            << "-dbthreshold \n\n"
            << "       Specify the lower threshold limit (in negative dB) for pruning peaks.\n"
            << "       When computing frequency peaks from the STFT, the peaks are normalized \n"
            << "       to the maximum level of the STFT magnitude.  All values below the maximum\n"
            << "       level by dbthreshold will be removed and not used to cluster or sync.\n"
            << "       This helps remove erroneous or low amplitude peaks.\n"
            << "\n\n";
}

// Which peaks are paired, and how found peaks mask their neighbours.
void printHelpNeighbourhoodFlags() {
  std::cout
      << "-freqrange \n\n"
      << "       Specify the frequency range in fft bins used to match peaks \n"
      << "       together. Neighboring peaks are paried together to generate the resulting\n"
      << "       landmarks. The larger the freqrange, the greater the number of peaks \n"
      << "       within a neighborhood region."
      << "\n\n"
      << "-timerange \n\n"
      << "       Specify the time range in hopsize units used to match peaks together.\n"
      << "       Neighboring peaks are paried together to generate the resulting landmarks.\n"
      << "       The larger the timerange, the greater the number of peaks within a \n"
      << "       neighborhood region."
      << "\n\n"
      << "-decayperframe \n\n"
      << "       Specify the decay rate used for the threshold detector in dB per frame.\n"
      << "       A threshold detector is used to detect when time-frequency peaks occur \n"
      << "       when processing the STFT.  The current threshold level is decayed from \n"
      << "       frame-to-frame.  This controls how fast the threshold decays. \n"
      << "       The larger the decayperframe, the faster the threshold decays\n"
      << "       causing more masking of the peaks over time (and more landmarks)."
      << "\n\n"
      << "-peakwidth \n\n"
      << "       Specify the width of the Gaussian that is used to mask the found peaks.\n"
      << "       Local frequency peaks are used to update the current threshold level detector.\n"
      << "       To update the threshold, a Gaussian window is placed around each local peak.\n"
      << "       The larger the peakwidth, the less peaks (and landmarks) are found, as more\n"
      << "       mask from the window occurs across frequency.\n"
      << "\n\n"
      << "-peakdynrange \n\n"
      << "       Specify the dynamic range of the Gaussian that is used to mask the found peaks.\n"
      << "       Local frequency peaks are used to update the current threshold level detector.\n"
      << "       To update the threshold, a Gaussian window is placed around each local peak.\n"
      << "       the peakdynrange is the amplitude of the window in dB that is place at the peak\n"
      << "       location.\n"
      << "\n\n";
}

// When two recordings are taken to match.
void printHelpClusterSyncFlags() {
  std::cout
      << "\n\nOPTIONAL CLUSTER AND SYNC FLAGS:\n\n"
      << "-maxlandmarks \n\n"
      << "       Specifies the threshold to remove landmarks that are \"too popular\".\n"
      << "       When computing the landmarks for each file, certain landmarks are found to \n"
      << "       be very common. These common landmarks are essentially just noise.  When \n"
      << "       they are removed, it speeds things up and is more accurate.\n"
      << "\n\n"
      << "-accepttreshold \n\n"
      << "       Specifies the minumum number of matching landmarks needed to accept a match.\n"
      << "       When deciding if two files should match, the number of identical matching \n"
      << "       landmarks is computed.  Sometimes there will be a small amount of matching\n"
      << "       landmarks that are caused by noise.  To filter out the noise, a threshold\n"
      << "       is used to reject a match that has fewer than accepttreshold identical "
         "landmarks.\n"
      << "\n\n"
      << "-mintemplatelength \n\n"
      << "       Specifies the minimum template length in seconds needed to accept a match.\n"
      << "       When deciding if two files should match, the number of identical matching \n"
      << "       landmarks is computed.  The set of matching landmarks defines a template \n"
      << "       region across time and frequency. When the time range (in seconds) of \n"
      << "       the template is below mintemplatelength, the potential match is rejected.\n"
      << "\n\n"
      << "-minoverlaplength \n\n"
      << "       Specifies the minimum overlap length in seconds needed to accept a match.\n"
      << "       When deciding if two files should match, the number of identical matching \n"
      << "       landmarks is computed.  The set of matching landmarks implies a region of \n"
      << "       overlap between the the two files. All potential matches that imply an \n"
      << "       region of overlap below minoverlaplength are rejected.\n"
      << "\n\n"
      << "-minpercentmatch \n\n"
      << "       Specifies the minimum percent of landmarks that need to match on the overlap\n"
      << "       region.  When deciding if two files should match, the number of matching\n"
      << "       landmarks is computed. and compared to the total number of landmarks in \n"
      << "       the overlap region.  If the total percentage of matching landmarks on both\n"
      << "       files is low, the match is rejected.\n"
      << "\n\n";
}

}  // namespace

void printHelp() {
  printHelpIntro();
  printHelpFlags();
  printHelpFrameFlags();
  printHelpNeighbourhoodFlags();
  printHelpClusterSyncFlags();
}

}  // namespace Velk
