// The Velk binary as a user meets it: each situation runs the tool once and
// checks its status, standard output and standard error. The designed
// parser's lines stay on standard output as they are; the tool's own lines go
// to standard error as "Velk: error|warning|note: ...".
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using velktest::contains;
using velktest::TempDir;

const char kNoFolderError[] =
    "Velk: error: no input folder given: name it with -f FOLDER (--help explains the options)\n";
const char kDesignedNoFolder[] =
    "[ERROR]: Must provide folder path of media files to synchronize\n";
const char kHelpStart[] =
    "////////////////////////////////////////////////////////////////////////////////\n";

enum class Folder {
  None,     // no input folder
  Pair,     // a.wav and b.wav of one event, notes.txt
  Lonely,   // the pair and four recordings that cannot match anything
  Entries,  // the pair and entries that are not files: links, a FIFO, folders
};

// One situation; the setters name what is checked. A text or path that starts
// with "!" must be absent.
struct Case {
  Case(const char* n, Folder f, std::vector<std::string> a, int s)
      : name(n), folder(f), args(std::move(a)), status(s) {}
  Case& out(std::vector<std::string> v) { return outHas = std::move(v), *this; }
  Case& err(std::vector<std::string> v) { return errHas = std::move(v), *this; }
  Case& paths(std::vector<std::string> v) { return exist = std::move(v), *this; }
  Case& file(std::string path, std::vector<std::string> v) {
    json = std::move(path);
    return jsonHas = std::move(v), *this;
  }
  Case& printedOnce(std::string s) { return once = std::move(s), *this; }

  const char* name;
  Folder folder;
  std::vector<std::string> args;  // "{in}" and "{cap}" stand for the two folders
  int status;
  std::vector<std::string> outHas, errHas;
  std::vector<std::string> exist;    // paths after the run
  std::string json;                  // a file the run wrote ...
  std::vector<std::string> jsonHas;  // ... and what it holds
  std::string once;                  // printed exactly once on standard output
};

std::string expand(std::string s, const std::string& in, const std::string& cap) {
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"{in}", in}, {"{cap}", cap}})
    for (std::size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
  return s;
}

void makeFolder(Folder kind, const std::string& in, const std::string& cap) {
  velktest::writeBytes(cap + "/plain", {'x'});
  std::ofstream(cap + "/list.txt") << in << "/a.wav\n\n" << in << "/b.wav\n";
  std::ofstream(cap + "/truth.xml")
      << "<truth><cluster><recording name=\"a\"/><recording name=\"b\"/></cluster></truth>";
  std::ofstream(cap + "/ghost.xml") << "<truth><cluster><recording name=\"a\" offset=\"0\"/>"
                                       "<recording name=\"ghost\"/></cluster></truth>";
  fs::create_directories(cap + "/out/cluster_03");
  std::ofstream(cap + "/out/.velk-manifest") << "# copies\ncluster_03/old.wav\n../plain\n";
  velktest::writeBytes(cap + "/out/cluster_03/old.wav", {'o'});
  velktest::writeBytes(cap + "/out/cluster_03/mine.wav", {'m'});
  if (kind == Folder::None) return;
  fs::create_directories(in);
  const std::vector<float> event = velktest::eventSignal(1, 12.0, 8000);
  velktest::writeWav16(in + "/a.wav", event, 8000);
  velktest::writeWav16(in + "/b.wav", velktest::slice(event, 8000, 3.0), 8000);
  velktest::writeBytes(in + "/notes.txt", {'h', 'i'});
  if (kind == Folder::Lonely) {
    velktest::writeWav16(in + "/short.wav", velktest::eventSignal(7, 2.5, 8000), 8000);
    velktest::writeWav16(in + "/silence.wav", std::vector<float>(8 * 8000, 0.0f), 8000);
    std::vector<float> tone = velktest::eventSignal(8, 8.0, 8000);
    for (float& v : tone) v *= 0.003f;  // room tone: well under -50 dBFS
    velktest::writeWav16(in + "/tone.wav", tone, 8000);
    velktest::writeWav16(in + "/solo.wav", velktest::eventSignal(9, 8.0, 8000), 8000);
  }
  if (kind == Folder::Entries) {
    fs::create_symlink(in + "/gone.wav", in + "/dangling.wav");
    ASSERT_EQ(mkfifo((in + "/fifo.wav").c_str(), 0600), 0);
    fs::create_directories(in + "/x.wav");
    fs::create_directories(in + "/sub");
    velktest::writeWav16(in + "/sub/inner.wav", velktest::slice(event, 8000, 5.0), 8000);
    velktest::writeWav16(in + "/.hidden.wav", event, 8000);
  }
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ToolMessages : public ::testing::TestWithParam<Case> {};

TEST_P(ToolMessages, StatusAndBothStreams) {
  const Case& c = GetParam();
  TempDir dir, cap;
  const std::string in = dir.file("in");
  makeFolder(c.folder, in, cap.path());
  std::vector<std::string> args;
  for (const std::string& a : c.args) args.push_back(expand(a, in, cap.path()));
  const velktest::ToolRun r = velktest::runVelk(args, cap.path());
  const std::string context = "\nstdout:\n" + r.out.substr(0, 3000) + "\nstderr:\n" + r.err;
  EXPECT_EQ(r.status, c.status) << context;
  // Whether s (less a leading "!") holds for text, and whether it should.
  auto check = [&](const std::vector<std::string>& what,
                   const std::function<bool(std::string)>& f) {
    for (const std::string& s : what) {
      const bool absent = s.rfind('!', 0) == 0;
      EXPECT_NE(f(expand(s.substr(absent ? 1 : 0), in, cap.path())), absent) << s << context;
    }
  };
  check(c.outHas, [&](const std::string& s) { return contains(r.out, s); });
  check(c.errHas, [&](const std::string& s) { return contains(r.err, s); });
  check(c.exist, [](const std::string& p) { return fs::exists(p); });
  if (!c.json.empty()) {
    const std::string text = velktest::slurp(expand(c.json, in, cap.path()));
    for (const std::string& s : c.jsonHas)
      EXPECT_TRUE(contains(text, expand(s, in, cap.path()))) << s << "\n" << text;
  }
  if (c.name == std::string("JsonToStandardOutput")) {
    EXPECT_TRUE(nlohmann::json::accept(r.out)) << context;
  }
  if (!c.once.empty()) {
    const std::size_t first = r.out.find(c.once);
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(r.out.find(c.once, first + 1), std::string::npos) << c.once;
  }
  // Every line of the tool's own on standard error speaks in its voice.
  for (std::size_t at = r.err.find("Velk: "); at != std::string::npos;
       at = r.err.find("Velk: ", at + 1)) {
    const std::string rest = r.err.substr(at + 6, 8);
    EXPECT_TRUE(rest.rfind("error: ", 0) == 0 || rest.rfind("warning:", 0) == 0 ||
                rest.rfind("note: ", 0) == 0)
        << r.err.substr(at, 80);
  }
}

const std::string kVerified = "\nSYNC RESULT (final, verified by waveform correlation)\n";

const Case kCases[] = {
    Case("NoFolder", Folder::None, {}, 1)
        .out({std::string(kDesignedNoFolder) + kHelpStart})
        .err({kNoFolderError}),
    Case("MisspeltToolOption", Folder::Pair, {"-f", "{in}", "--jsn", "{cap}/r.json", "--quiet"}, 0)
        .out({"--jsn {cap}/r.json\nUnknown input arguments\n", kVerified})
        .err({"Velk: warning: unknown argument '--jsn' ignored\n",
              "Velk: warning: unknown argument '{cap}/r.json' ignored\n"})
        .paths({"!{cap}/r.json"}),
    Case("ValueReadInPartThenRefused", Folder::Pair,
         {"-samplerate", "1e12", "-f", "{in}", "--quiet"}, 0)
        .out({"-samplerate 1e12\nSAMPLERATE: 1\n"})
        .err({"Velk: warning: -samplerate 1e12 was not taken; 8000 is in force\n"}),
    Case("DesignedOptionLastKeepsItsHandling", Folder::Pair, {"-f", "{in}", "--quiet", "-o"}, 0)
        .out({kVerified, "!\n-o"})  // no echo line, and no temporary folder named velk-o...
        .err({"Velk: warning: '-o' at the end has no value and was ignored\n"})
        .paths({"!{in}/cluster_01"}),
    Case("EmptyJsonName", Folder::Pair, {"-f", "{in}", "--json", ""}, 1)
        .out({"!-f"})
        .err({"Velk: error: --json needs a file name\n"}),
    Case("OutputInsideTheInputBeforeAnyWork", Folder::Pair, {"-f", "{in}", "-o", "{in}/synced"}, 6)
        .out({"!STARTING"})
        .err({"Velk: error: cannot write copies to {in}/synced: {in}/synced is the input folder or "
              "lies inside it"})
        .paths({"!{in}/synced"}),
    Case("JsonFolderMissingNamesTheUsersPath", Folder::Pair,
         {"-f", "{in}", "--json", "{cap}/no/r.json"}, 7)
        .out({"!STARTING"})
        .err({"Velk: error: cannot write the JSON to {cap}/no/r.json: folder {cap}/no does not "
              "exist\n",
              "!.tmp"}),
    Case("PictureTargetCheckedBeforeAnyWork", Folder::Pair,
         {"-f", "{in}", "--export", "{cap}/r.otio", "--svg", "{cap}/no/p.svg"}, 8)
        .out({"!STARTING"})
        .err({"Velk: error: cannot write {cap}/no/p.svg: folder {cap}/no does not exist\n"})
        .paths({"!{cap}/r.otio"}),
    Case("ReferenceNamesNoInput", Folder::Pair, {"-f", "{in}", "--reference", "nobody"}, 1)
        .out({"!STARTING"})
        .err({"Velk: error: the reference nobody is not one of the recordings\n"}),
    // On b's timeline a starts 3 s earlier; the copies still start together.
    Case("ChosenReferenceStartsLater", Folder::Pair,
         {"-f", "{in}", "--reference", "b", "-o", "{cap}/out"}, 0)
        .out({"     -3.000 "})
        .err({"Velk: note: wrote {cap}/out/cluster_01/a.wav (offset 0.000 s = 0 samples",
              "Velk: note: wrote {cap}/out/cluster_01/b.wav (offset 3.000 s = 24000 samples"}),
    Case("RerunRemovesOnlyItsOwnStaleCopies", Folder::Pair, {"-f", "{in}", "-o", "{cap}/out"}, 0)
        .err({"Velk: note: wrote {cap}/out/cluster_01/b.wav (offset 3.000 s = 24000 samples, 8000 "
              "Hz)\n",
              "Velk: note: removed 1 copy of the previous run in {cap}/out that this run did not "
              "write again\n",
              "Velk: note: output folder {cap}/out holds 1 file this run did not write (e.g. "
              "{cap}/out/cluster_03/mine.wav); left alone\n"})
        .paths({"{cap}/out/cluster_03/mine.wav", "{cap}/plain", "{cap}/out/cluster_01/a.wav",
                "!{cap}/out/cluster_03/old.wav"})
        .file("{cap}/out/.velk-manifest", {"\ncluster_01/a.wav\ncluster_01/b.wav\n"}),
    Case("EveryLoneRecordingHasItsReason", Folder::Lonely, {"-f", "{in}", "--json", "{cap}/r.json"},
         0)
        .out({kVerified})
        .err({"Velk: note: short is alone: too short (2.5 s) for the acceptance settings (a match "
              "needs 3.0 s in common)\n",
              "Velk: note: silence is alone: silent (digital silence)\n",
              "Velk: note: tone is alone: nearly silent (level -",
              "Velk: note: solo is alone: matched no other recording\n",
              "Velk: note: skipped {in}/notes.txt: not an audio file\n", "!a is alone",
              "!b is alone"})
        .file("{cap}/r.json", {"\"alone\": \"silent (digital silence)\"",
                               "\"alone\": \"matched no other recording\""}),
    Case("EveryEntryNotReadIsListed", Folder::Entries,
         {"-f", "{in}", "--json", "{cap}/r.json", "--quiet"}, 0)
        .out({kVerified, "!inner"})
        .err({"!note:"})
        .file("{cap}/r.json",
              {"\"path\": \"{in}/dangling.wav\",\n      \"reason\": \"dangling link\"",
               "\"path\": \"{in}/x.wav\",\n      \"reason\": \"sub-folder (-r reads sub-folders)\"",
               "\"path\": \"{in}/.hidden.wav\",\n      \"reason\": \"hidden\""}),
    Case("RecursiveNamesByRelativePath", Folder::Entries, {"-f", "{in}", "-r", "--quiet"}, 0)
        .out({"STARTING: {in}/sub/inner.wav (id 3)\n", "  yes      sub/inner\n"}),
    Case("FileList", Folder::Pair, {"--files", "{cap}/list.txt", "--quiet"}, 0)
        .out({"STARTING: {in}/a.wav (id 1)\n", "STARTING: {in}/b.wav (id 2)\n", kVerified,
              "![ERROR]", "!notes"}),
    Case("PathsAfterDoubleDash", Folder::Pair, {"--quiet", "--", "{in}/b.wav", "{in}/a.wav"}, 0)
        .out({"STARTING: {in}/b.wav (id 1)\n", kVerified}),
    Case("FolderAndListTogether", Folder::Pair, {"-f", "{in}", "--", "{in}/a.wav"}, 1)
        .out({"!-f"})
        .err({"Velk: error: give either -f FOLDER or a file list"}),
    Case("JsonToStandardOutput", Folder::Pair, {"-f", "{in}", "--json", "-"}, 0)
        .out({"!STARTING", "!SYNC RESULT", "\"name\": \"b\""})
        .err({"STARTING: {in}/a.wav", kVerified}),
    Case("HopLongerThanTheFrame", Folder::Pair, {"-hopsize", "1024", "-f", "{in}"}, 1)
        .out({"HOPSIZE: 1024\n", "!STARTING"})
        .err({"Velk: error: the hop size (1024) must not exceed the FFT size (512)\n"}),
    Case("FrameOfMinutesRefused", Folder::Pair, {"-fftsize", "1048576", "-f", "{in}"}, 1)
        .out({"FFTSIZE: 1048576\n", "!STARTING"})
        .err({"Velk: error: the FFT size (1048576, 131.072 s at 8000 Hz) is larger than this tool "
              "accepts"}),
    Case("LargeFrameWarnedWithAnEstimate", Folder::Pair,
         {"-fftsize", "16384", "-f", "{in}", "--quiet"}, 0)
        .out({kVerified})
        .err({"Velk: warning: -fftsize 16384 is 2.05 s of audio per frame, far more than "
              "landmarks need; extraction will take about "}),
    Case("MissingFolder", Folder::None, {"-f", "{in}"}, 2)
        .err({"Velk: error: input folder {in} does not exist\n"}),
    Case("TruthWithoutOffsetsHasNoEmptyTable", Folder::Pair,
         {"-f", "{in}", "-t", "{cap}/truth.xml", "--quiet"}, 0)
        .out({"precision 1.000  recall 1.000  F1 1.000\n",
              "offset error: no pair with known offsets is placed together in both\n",
              "!median (ms)"}),
    // A truth file that cannot be read (or parsed, the same road): the sync still
    // runs, and the status says so.
    Case("MissingTruth", Folder::Pair, {"-f", "{in}", "-t", "{cap}/none.xml", "--quiet"}, 5)
        .out({kVerified, "!EVALUATION"})
        .err({"Velk: error: cannot read truth file {cap}/none.xml"}),
    Case("TruthNamesAMissingRecording", Folder::Pair,
         {"-f", "{in}", "-t", "{cap}/ghost.xml", "--quiet"}, 4)
        .out({"in the truth but not among the recordings: ghost\n",
              "among the recordings but not in the truth: b\n"})
        .err({"Velk: error: the truth file names recordings that were not synced: ghost\n"}),
    Case("WithoutRefinementTheTitleSaysSo", Folder::Pair, {"-f", "{in}", "--no-refine", "--quiet"},
         0)
        .out({"\nSYNC RESULT (final, not verified: --no-refine)\n"}),
    Case("HelpOnceThenWhatTheToolReallyDoes", Folder::None, {"--help"}, 0)
        .out({std::string(kHelpStart) + "\n", "WHAT THIS TOOL ACTUALLY DOES", "![ERROR]"})
        .printedOnce(kHelpStart),
};

INSTANTIATE_TEST_SUITE_P(Situations, ToolMessages, ::testing::ValuesIn(kCases), velktest::ByName());

}  // namespace
