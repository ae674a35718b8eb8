// Starting one of the build's own programs from a test. A build for another processor runs its
// programs under an emulator (the build's CMAKE_CROSSCOMPILING_EMULATOR, such as qemu-arm), and
// a program that such a test starts must go through the same emulator: the host's kernel runs
// it by itself only where binfmt_misc happens to be set up for it.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#ifndef TEST_LAUNCHER
#define TEST_LAUNCHER ""  // native build: programs start as they are
#endif

namespace testing_support {

// The argument vector that runs binary: the launcher's blank-separated words, then binary.
// Its first word is the file to execute.
inline std::vector<std::string> launch_words(const std::string& binary) {
  std::vector<std::string> words;
  const std::string launcher = TEST_LAUNCHER;
  for (size_t i = 0; i < launcher.size();) {
    const size_t end = std::min(launcher.find(' ', i), launcher.size());
    if (end > i) words.push_back(launcher.substr(i, end - i));
    i = end + 1;
  }
  words.push_back(binary);
  return words;
}

// The same as a command line for /bin/sh, every word quoted.
inline std::string launch_command(const std::string& binary) {
  std::string line;
  for (const std::string& w : launch_words(binary)) {
    if (!line.empty()) line += ' ';
    line += '\'';
    for (const char c : w) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += '\'';
  }
  return line;
}

}  // namespace testing_support
