// Runs one fuzz target over every file of its seed corpus (fuzz/corpus/<name>/) and of its
// kept crash inputs (fuzz/regressions/<name>/), once each, in the ordinary build. A broken
// property aborts the run with the file named in the output.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || name == ".gitkeep") continue;
    out.push_back(dir + "/" + name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> inputs(const char* kind) {
  return files_in(std::string(FUZZ_DIR) + "/" + kind + "/" + FUZZ_TARGET_NAME);
}

void replay(const std::vector<std::string>& files) {
  for (const std::string& f : files) {
    std::ifstream in(f, std::ios::binary);
    ASSERT_TRUE(in) << f;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replaying %s\n", f.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
}

TEST(FuzzReplay, SeedCorpus) {
  const std::vector<std::string> files = inputs("corpus");
  ASSERT_FALSE(files.empty()) << "no seeds for " FUZZ_TARGET_NAME;
  replay(files);
}

TEST(FuzzReplay, KeptCrashInputs) { replay(inputs("regressions")); }

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
