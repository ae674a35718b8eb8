// Files at fixed paths in folders that other users may write: what is opened, what is refused,
// and how a file is replaced without touching what someone placed at its name.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/files.h"
#include "portald_fixture.h"

namespace {

using testing_support::TempRoot;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    shared_ = root_.dir() + "/tmp";
    ASSERT_EQ(chmod(shared_.c_str(), 01777), 0);  // like /tmp
    own_ = root_.dir() + "/etc";
    victim_ = root_.dir() + "/victim";
    write(victim_, "precious\n");
  }
  static void write(const std::string& path, const std::string& content) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(content.c_str(), f);
    std::fclose(f);
  }
  static std::string read(const std::string& path) {
    std::string s;
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return "<missing>";
    for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
    std::fclose(f);
    return s;
  }
  // The names in folder, sorted.
  static std::vector<std::string> names(const std::string& folder) {
    std::vector<std::string> out;
    DIR* d = opendir(folder.c_str());
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
  }
  // What open_fixed_file says about path: the descriptor's success and the stderr line.
  static bool opens(const std::string& path, std::string* said = nullptr) {
    testing::internal::CaptureStderr();
    const int fd = core::open_fixed_file(path);
    const std::string err = testing::internal::GetCapturedStderr();
    if (said != nullptr) *said = err;
    if (fd >= 0) close(fd);
    return fd >= 0;
  }

  TempRoot root_;
  std::string shared_, own_, victim_;
};

TEST_F(FilesTest, OnlyRegularFilesOfTheDaemonsUserAreOpened) {
  const std::string plain = own_ + "/plain.cfg";
  write(plain, "x\n");
  EXPECT_TRUE(opens(plain));

  std::string said;
  EXPECT_FALSE(opens(own_ + "/missing.cfg", &said));
  EXPECT_EQ(said, "");  // a missing file is no news

  // A FIFO would hold a blocking open until someone writes to it.
  const std::string fifo = shared_ + "/emailgroupip.cfg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  EXPECT_FALSE(opens(fifo, &said));
  EXPECT_EQ(said, "portald: refusing " + fifo + ": not a regular file\n");

  EXPECT_FALSE(opens(shared_, &said));
  EXPECT_NE(said.find("not a regular file"), std::string::npos);

  // A link in a folder that others can write is someone else's choice of file.
  const std::string link_shared = shared_ + "/link.cfg";
  ASSERT_EQ(symlink(victim_.c_str(), link_shared.c_str()), 0);
  EXPECT_FALSE(opens(link_shared, &said));
  EXPECT_EQ(said, "portald: refusing " + link_shared +
                      ": a link in a folder that other users can write\n");
  // In the daemon's own folder a link is the operator's and is followed.
  const std::string link_own = own_ + "/link.cfg";
  ASSERT_EQ(symlink(victim_.c_str(), link_own.c_str()), 0);
  EXPECT_TRUE(opens(link_own));

  if (geteuid() != 0) GTEST_SKIP() << "handing a file to another user needs root";
  const std::string foreign = shared_ + "/foreign.cfg";
  write(foreign, "group1 Email_Auth 10.0.0.1  \n");
  ASSERT_EQ(chown(foreign.c_str(), 4242, 4242), 0);
  EXPECT_FALSE(opens(foreign, &said));
  EXPECT_EQ(said, "portald: refusing " + foreign +
                      ": owned by user 4242, not by the daemon's user 0\n");
  // Through a link in the daemon's own folder as well.
  ASSERT_EQ(symlink(foreign.c_str(), (own_ + "/to-foreign.cfg").c_str()), 0);
  EXPECT_FALSE(opens(own_ + "/to-foreign.cfg"));
}

TEST_F(FilesTest, ReplacingNeverWritesThroughWhatOthersPlaced) {
  const mode_t old_mask = umask(077);
  const std::string file = shared_ + "/web_user_reg_file";
  // The old temporary name, and the file itself, are links to a file the daemon must not touch.
  ASSERT_EQ(symlink(victim_.c_str(), (file + ".tmp").c_str()), 0);
  ASSERT_EQ(symlink(victim_.c_str(), file.c_str()), 0);
  EXPECT_TRUE(core::replace_file(file, "a 10.0.0.1 m 5 0 \n", 18, 0644, false));
  EXPECT_EQ(read(victim_), "precious\n");
  struct stat st{};
  ASSERT_EQ(lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u);  // the fixed mode, not the creation mask's
  EXPECT_EQ(read(file), "a 10.0.0.1 m 5 0 \n");

  // A FIFO at the name is replaced, not opened.
  ASSERT_EQ(unlink(file.c_str()), 0);
  ASSERT_EQ(mkfifo(file.c_str(), 0666), 0);
  EXPECT_TRUE(core::replace_file(file, "", 0, 0700, true));
  ASSERT_EQ(lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  // Only the two names placed beforehand and the file remain: no temporary is left behind.
  const std::vector<std::string> left = names(shared_);
  EXPECT_EQ(left, (std::vector<std::string>{"web_user_reg_file", "web_user_reg_file.tmp"}));
  umask(old_mask);
}

TEST_F(FilesTest, TemporariesAreNewFilesBesideTheFixedName) {
  const std::string file = shared_ + "/emailgroupip.cfg";
  std::string a, b;
  const int fa = core::create_temp_beside(file, 0700, a);
  const int fb = core::create_temp_beside(file, 0700, b);
  ASSERT_GE(fa, 0);
  ASSERT_GE(fb, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(file + ".", 0), 0u);  // same folder, named after the file
  struct stat st{};
  ASSERT_EQ(fstat(fa, &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_uid, geteuid());
  close(fa);
  close(fb);
  unlink(a.c_str());
  unlink(b.c_str());
}

TEST_F(FilesTest, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  const std::string file = shared_ + "/web_user_reg_file";
  write(file, "old\n");
  // A file size limit makes the write fail as a full file system would.
  rlimit old_limit{};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit small = old_limit;
  small.rlim_cur = 8;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string content(64, 'x');
  const bool replaced = core::replace_file(file, content.data(), content.size(), 0644, false);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(replaced);
  EXPECT_EQ(read(file), "old\n");
  EXPECT_EQ(names(shared_), std::vector<std::string>{"web_user_reg_file"});

  // A folder at the name cannot be replaced; it stays, and so does nothing else.
  ASSERT_EQ(unlink(file.c_str()), 0);
  ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
  EXPECT_FALSE(core::replace_file(file, "x", 1, 0644, false));
  EXPECT_EQ(names(shared_), std::vector<std::string>{"web_user_reg_file"});
}

TEST_F(FilesTest, RewritingReusesTheVersionBeforeOnlyWhenNoOneReadsIt) {
  const std::string file = shared_ + "/web_user_reg_file";
  const std::string spare = core::spare_beside(file);
  auto inode = [](const std::string& path) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  const mode_t old_mask = umask(077);
  ASSERT_TRUE(core::rewrite_file(file, "first version\n", 14, 0644));
  EXPECT_EQ(names(shared_), std::vector<std::string>{"web_user_reg_file"});
  ASSERT_TRUE(core::rewrite_file(file, "second\n", 7, 0644));
  EXPECT_EQ(read(file), "second\n");
  EXPECT_EQ(read(spare), "first version\n");

  // The spare is written again, cut to the new length, and swapped in.
  const ino_t first = inode(spare);
  ASSERT_TRUE(core::rewrite_file(file, "3\n", 2, 0644));
  EXPECT_EQ(inode(file), first);
  EXPECT_EQ(read(file), "3\n");
  EXPECT_EQ(read(spare), "second\n");
  struct stat st{};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);

  // A reader's open file and a mapping whose file was closed keep their version whole, however
  // many rewrites follow.
  const int held = open(file.c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_TRUE(core::rewrite_file(file, "fourth\n", 7, 0644));
  const int mapped_fd = open(file.c_str(), O_RDONLY);
  void* map = mmap(nullptr, 7, PROT_READ, MAP_SHARED, mapped_fd, 0);
  ASSERT_NE(map, MAP_FAILED);
  close(mapped_fd);
  for (const char* text : {"fifth!\n", "sixth!\n", "seventh\n"}) {
    ASSERT_TRUE(core::rewrite_file(file, text, std::strlen(text), 0644));
    EXPECT_EQ(read(file), text);
  }
  char got[8] = {};
  EXPECT_EQ(pread(held, got, sizeof(got), 0), 2);
  EXPECT_EQ(std::string(got, 2), "3\n");
  EXPECT_EQ(std::string(static_cast<const char*>(map), 7), "fourth\n");
  munmap(map, 7);
  close(held);

  const std::vector<std::string> left = names(shared_);
  EXPECT_EQ(left, (std::vector<std::string>{"web_user_reg_file", "web_user_reg_file.spare"}));
  umask(old_mask);
}

TEST_F(FilesTest, RewritingNeverWritesThroughWhatOthersPlacedAtTheSpare) {
  const std::string file = shared_ + "/web_user_reg_file";
  const std::string spare = core::spare_beside(file);
  const std::string other = shared_ + "/other";
  write(other, "another file of the daemon's user\n");
  struct Placed {
    const char* what;
    std::function<int()> place;
  };
  const std::vector<Placed> cases = {
      {"a link", [&] { return symlink(victim_.c_str(), spare.c_str()); }},
      {"a second name of another file", [&] { return link(other.c_str(), spare.c_str()); }},
      {"a FIFO", [&] { return mkfifo(spare.c_str(), 0644); }},
      {"a file of another mode",
       [&] {
         write(spare, "x\n");
         return chmod(spare.c_str(), 0666);
       }},
  };
  for (const Placed& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(file.c_str());
    unlink(spare.c_str());
    ASSERT_EQ(c.place(), 0);
    ASSERT_TRUE(core::rewrite_file(file, "a 10.0.0.1 m 5 0 \n", 18, 0644));
    ASSERT_TRUE(core::rewrite_file(file, "b 10.0.0.2 m 5 0 \n", 18, 0644));
    EXPECT_EQ(read(file), "b 10.0.0.2 m 5 0 \n");
    EXPECT_EQ(read(victim_), "precious\n");
    EXPECT_EQ(read(other), "another file of the daemon's user\n");
  }
  // A folder at the spare's name takes nothing from the file, and no temporary is left.
  unlink(spare.c_str());
  ASSERT_EQ(mkdir(spare.c_str(), 0755), 0);
  ASSERT_TRUE(core::rewrite_file(file, "c\n", 2, 0644));
  ASSERT_TRUE(core::rewrite_file(file, "d\n", 2, 0644));
  EXPECT_EQ(read(file), "d\n");
  const std::vector<std::string> left = names(shared_);
  EXPECT_EQ(left, (std::vector<std::string>{"other", "web_user_reg_file",
                                            "web_user_reg_file.spare"}));
}

}  // namespace
