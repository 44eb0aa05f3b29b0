// The engine's listing of a folder or of a list of files: what is read, in
// which order and under which name, and why everything else is left out.

#include <filesystem>

#include "test_support.h"
#include "velk/sync.h"

namespace {

namespace fs = std::filesystem;

struct ListingCase {
  const char* name;
  bool recursive;
  std::vector<std::string> files;    // a file list instead of the folder, relative to it
  std::vector<std::string> names;    // of the recordings, in id order
  std::vector<std::string> skipped;  // "path: reason", paths relative to the folder
};

void PrintTo(const ListingCase& c, std::ostream* os) { *os << c.name; }

class EngineListing : public ::testing::TestWithParam<ListingCase> {};

TEST_P(EngineListing, ReadsAndSkips) {
  const ListingCase& c = GetParam();
  velktest::TempDir dir;
  const std::vector<float> sound = velktest::eventSignal(3, 1.0, 8000);
  fs::create_directories(dir.file("sub"));
  for (const char* f : {"b.wav", "sub/b.wav", "sub/a.wav", ".hidden.wav"})
    velktest::writeWav16(dir.file(f), sound, 8000);
  velktest::writeBytes(dir.file("notes.txt"), {'h', 'i'});
  fs::create_symlink(dir.file("gone.wav"), dir.file("dangling.wav"));
  fs::create_directory_symlink(dir.file("sub"), dir.file("linked"));

  Velk::Listing listing;
  std::string error;
  std::vector<std::string> paths;
  for (const std::string& f : c.files) paths.push_back(dir.file(f));
  if (c.files.empty())
    ASSERT_TRUE(Velk::listFolder(dir.path(), 8000, listing, error, c.recursive)) << error;
  else
    Velk::listFiles(paths, 8000, listing);
  std::vector<std::string> names, skipped;
  const std::string prefix = dir.path() + "/";
  auto relative = [&prefix](std::string s) {
    return s.rfind(prefix, 0) == 0 ? s.substr(prefix.size()) : s;
  };
  for (const Velk::Recording& r : listing.recordings) {
    EXPECT_EQ(r.id, static_cast<int32_t>(names.size() + 1));
    names.push_back(relative(r.name));
  }
  for (const Velk::SkippedFile& s : listing.skipped)
    skipped.push_back(relative(s.path) + ": " + s.reason);
  EXPECT_EQ(names, c.names);
  EXPECT_EQ(skipped, c.skipped);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EngineListing,
    ::testing::Values(
        ListingCase{"FolderAlone",
                    false,
                    {},
                    {"b"},
                    {".hidden.wav: hidden", "dangling.wav: dangling link",
                     "linked: link to a folder (not followed)", "notes.txt: not an audio file",
                     "sub: sub-folder"}},
        ListingCase{"SubFoldersInPlaceByRelativePath",
                    true,
                    {},
                    {"b", "sub/a", "sub/b"},
                    {".hidden.wav: hidden", "dangling.wav: dangling link",
                     "linked: link to a folder (not followed)", "notes.txt: not an audio file"}},
        ListingCase{
            "ListInGivenOrderClashingNamesByPath",
            false,
            {"sub/b.wav", "sub/a.wav", "b.wav", "sub", "sub/../b.wav", "missing.wav"},
            {"sub/b", "a", "b"},
            {"missing.wav: does not exist", "sub: a folder", "sub/../b.wav: listed twice"}}),
    velktest::ByName());

}  // namespace
