#include "nvram.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "launcher.h"

namespace {

class NvramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/nvram_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    file_ = dir_ + "/nvram.conf";
    setenv("NVRAM_FILE", file_.c_str(), 1);
  }
  void TearDown() override {
    for (const auto& n : entries()) unlink((dir_ + "/" + n).c_str());
    rmdir(dir_.c_str());
    unsetenv("NVRAM_FILE");
  }

  void write_file(const std::string& text) {
    // Written beside and renamed, as another process's commit would be.
    std::string tmp = dir_ + "/hand-edit";
    std::ofstream(tmp) << text;
    ASSERT_EQ(rename(tmp.c_str(), file_.c_str()), 0);
  }
  std::string read_file() {
    std::ifstream in(file_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::vector<std::string> entries() {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir_.c_str())) {
      while (dirent* e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
          out.push_back(e->d_name);
      closedir(d);
    }
    return out;
  }
  static std::string get(const char* key) {
    const char* v = nvram_get(key);
    return v ? v : "<unset>";
  }

  // Runs the nvram command in a child process; returns its exit status and fills out.
  int run_cmd(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::string line = testing_support::launch_command(NVRAM_CMD);
    for (const auto& a : args) line += " '" + a + "'";
    line += " 2>/dev/null";
    FILE* p = popen(line.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int st = pclose(p);
    if (out) *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

  std::string dir_, file_;
};

TEST_F(NvramTest, FileFormat) {
  write_file(
      "# a comment=with an equals sign\n"
      "PLAIN=value\n"
      "BLANKS=two words  and more \n"
      "EQUALS=a=b==c\n"
      "EMPTY=\n"
      "no equals sign here\n"
      "=no key\n"
      "TWICE=first\n"
      "TWICE=second\n"
      " LEAD=blank is part of the key\n"
      "LAST=no line feed");
  struct Row {
    const char* situation;
    const char* key;
    const char* want;
  } rows[] = {
      {"plain pair", "PLAIN", "value"},
      {"value keeps inner and trailing blanks", "BLANKS", "two words  and more "},
      {"key ends at the first equals sign", "EQUALS", "a=b==c"},
      {"empty value is set", "EMPTY", ""},
      {"comment line is not a key", "# a comment", "<unset>"},
      {"line without equals sign is not a key", "no equals sign here", "<unset>"},
      {"later line wins", "TWICE", "second"},
      {"leading blank belongs to the key", " LEAD", "blank is part of the key"},
      {"key without its blank", "LEAD", "<unset>"},
      {"last line without line feed", "LAST", "no line feed"},
      {"missing key", "NOPE", "<unset>"},
  };
  for (const auto& r : rows) EXPECT_EQ(get(r.key), r.want) << r.situation;
}

TEST_F(NvramTest, MissingFileIsEmptyAndCommitCreatesIt) {
  EXPECT_EQ(nvram_get("ANY"), nullptr);
  ASSERT_EQ(nvram_set("K", "v w"), 0);
  EXPECT_EQ(get("K"), "v w");
  ASSERT_EQ(nvram_commit(), 0);
  EXPECT_EQ(read_file(), "K=v w\n");
}

TEST_F(NvramTest, SetRefusesWhatTheFileCannotHold) {
  struct Row {
    const char* situation;
    const char* key;
    const char* value;
  } refused[] = {
      {"empty key", "", "v"},
      {"key with equals sign", "A=B", "v"},
      {"key with line feed", "A\nB", "v"},
      {"key read back as a comment", "#A", "v"},
      {"value with line feed", "A", "x\ny"},
      {"null key", nullptr, "v"},
      {"null value", "A", nullptr},
  };
  for (const auto& r : refused) EXPECT_EQ(nvram_set(r.key, r.value), -1) << r.situation;
  EXPECT_EQ(nvram_set("A", "x=y #z"), 0);
  ASSERT_EQ(nvram_commit(), 0);
  EXPECT_EQ(read_file(), "A=x=y #z\n");
}

TEST_F(NvramTest, SeesChangesCommittedByAnotherProcess) {
  write_file("GROUPIP_NUM_MAX=3\n");
  EXPECT_EQ(get("GROUPIP_NUM_MAX"), "3");
  // Same length, same second: only the inode tells the files apart.
  ASSERT_EQ(run_cmd({"set", "GROUPIP_NUM_MAX=4"}), 0);
  EXPECT_EQ(get("GROUPIP_NUM_MAX"), "4");
  ASSERT_EQ(run_cmd({"unset", "GROUPIP_NUM_MAX"}), 0);
  EXPECT_EQ(get("GROUPIP_NUM_MAX"), "<unset>");
  // An edit in place (same inode) that changes the size.
  { std::ofstream(file_, std::ios::app) << "NEW=edited in place\n"; }
  EXPECT_EQ(get("NEW"), "edited in place");
}

TEST_F(NvramTest, UncommittedValuesSurviveAReread) {
  write_file("A=file\nB=file\nC=file\n");
  ASSERT_EQ(get("A"), "file");
  ASSERT_EQ(nvram_set("A", "mine"), 0);
  ASSERT_EQ(nvram_unset("B"), 0);
  write_file("A=theirs\nB=theirs\nC=theirs\nD=theirs\n");
  EXPECT_EQ(get("A"), "mine");
  EXPECT_EQ(get("B"), "<unset>");
  EXPECT_EQ(get("C"), "theirs");
  EXPECT_EQ(get("D"), "theirs");
  // The commit keeps the other process's keys and writes ours over them.
  ASSERT_EQ(nvram_commit(), 0);
  EXPECT_EQ(read_file(), "A=mine\nC=theirs\nD=theirs\n");
}

TEST_F(NvramTest, ConcurrentCommitsLoseNoKey) {
  const std::string cmd = testing_support::launch_command(NVRAM_CMD);
  std::string line;
  for (int i = 0; i < 8; ++i)
    line += cmd + " set K" + std::to_string(i) + "=" + std::to_string(i) + " & ";
  line += "wait";
  ASSERT_EQ(std::system(line.c_str()), 0);
  for (int i = 0; i < 8; ++i) {
    std::string key = "K" + std::to_string(i);
    EXPECT_EQ(get(key.c_str()), std::to_string(i)) << key;
  }
}

TEST_F(NvramTest, CommitReplacesTheFileWhole) {
  write_file("# kept\nA=1\njunk line\nA=2\nB=3\n");
  ASSERT_EQ(chmod(file_.c_str(), 0600), 0);
  struct stat before;
  ASSERT_EQ(stat(file_.c_str(), &before), 0);
  ASSERT_EQ(nvram_set("A", "9"), 0);
  ASSERT_EQ(nvram_set("Z", "new"), 0);
  ASSERT_EQ(nvram_commit(), 0);
  struct stat after;
  ASSERT_EQ(stat(file_.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino) << "rewritten in place instead of renamed over";
  EXPECT_EQ(after.st_mode & 0777, 0600u);
  EXPECT_EQ(read_file(), "# kept\nA=9\njunk line\nB=3\nZ=new\n");
  EXPECT_EQ(entries(), std::vector<std::string>{"nvram.conf"}) << "temporary file left behind";
}

TEST_F(NvramTest, CommitThroughASymbolicLinkKeepsTheLink) {
  const std::string real = dir_ + "/real.conf";
  std::ofstream(real) << "A=1\n";
  ASSERT_EQ(symlink("real.conf", file_.c_str()), 0);
  ASSERT_EQ(nvram_set("B", "2"), 0);
  ASSERT_EQ(nvram_commit(), 0);
  struct stat st;
  ASSERT_EQ(lstat(file_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  std::ifstream in(real);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(), "A=1\nB=2\n");
}

TEST_F(NvramTest, FailedCommitKeepsValuesPending) {
  std::string missing = dir_ + "/no/such/folder/nvram.conf";
  setenv("NVRAM_FILE", missing.c_str(), 1);
  ASSERT_EQ(nvram_set("K", "v"), 0);
  EXPECT_EQ(nvram_commit(), -1);
  EXPECT_EQ(get("K"), "v");
}

TEST_F(NvramTest, CommandExitCodesAndOutput) {
  write_file("A=x y=z\n");
  struct Row {
    const char* situation;
    std::vector<std::string> args;
    int status;
    const char* out;  // null: not looked at
  } rows[] = {
      {"get of a set key prints it", {"get", "A"}, 0, "x y=z\n"},
      {"get of an unset key", {"get", "B"}, 1, ""},
      {"set writes through", {"set", "B=1 2"}, 0, ""},
      {"the value is committed", {"get", "B"}, 0, "1 2\n"},
      {"show lists every pair", {"show"}, 0, "A=x y=z\nB=1 2\n"},
      {"unset writes through", {"unset", "A"}, 0, ""},
      {"the key is gone", {"get", "A"}, 1, ""},
      {"commit", {"commit"}, 0, ""},
      {"help", {"--help"}, 0, nullptr},
      {"no command", {}, 2, ""},
      {"unknown command", {"frobnicate"}, 2, ""},
      {"set without equals sign", {"set", "B"}, 2, ""},
      {"set with empty key", {"set", "=v"}, 2, ""},
      {"get without key", {"get"}, 2, ""},
      {"get with two keys", {"get", "A", "B"}, 2, ""},
      {"show with an argument", {"show", "A"}, 2, ""},
  };
  for (const auto& r : rows) {
    std::string out;
    EXPECT_EQ(run_cmd(r.args, &out), r.status) << r.situation;
    if (r.out) {
      EXPECT_EQ(out, r.out) << r.situation;
    }
  }
  EXPECT_EQ(read_file(), "B=1 2\n");
}

}  // namespace
