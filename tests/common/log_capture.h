// Catching what the library says: the messages shown to the user while an
// object lives (as one text or as separate lines), and what a test program
// writes to its log file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "runtime/zam_log.h"
#include "test_util.h"

namespace testutil {

// Every message shown while an instance lives, joined in text. Instances
// nest: an inner one takes the messages until it goes.
struct Capture {
  std::string text;
  Capture() : outer(sink) {
    sink = &text;
    old = zam_logger_callback([](const char* t) { *sink += t; });
  }
  ~Capture() {
    zam_logger_callback(old);
    sink = outer;
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  bool has(const std::string& part) const { return text.find(part) != std::string::npos; }

 private:
  inline static std::string* sink = nullptr;
  std::string* outer;
  zam_logger_fn old;
};

// The same, kept in one text for the whole program, said(), which each new
// instance empties; for tests that read or reset it directly.
struct Messages {
  static std::string& said() {
    static std::string text;
    return text;
  }
  Messages() : old(zam_logger_callback([](const char* t) { said() += t; })) { said().clear(); }
  ~Messages() { zam_logger_callback(old); }
  Messages(const Messages&) = delete;
  Messages& operator=(const Messages&) = delete;
  const std::string& text() const { return said(); }
  bool has(const std::string& part) const { return said().find(part) != std::string::npos; }

 private:
  zam_logger_fn old;
};

// Every message shown while an instance lives, one entry per message.
struct LineCapture {
  std::vector<std::string> lines;
  LineCapture() : outer(sink) {
    sink = &lines;
    old = zam_logger_callback([](const char* t) { sink->emplace_back(t); });
  }
  ~LineCapture() {
    zam_logger_callback(old);
    sink = outer;
  }
  LineCapture(const LineCapture&) = delete;
  LineCapture& operator=(const LineCapture&) = delete;
  bool any(const std::string& part) const {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }

 private:
  inline static std::vector<std::string>* sink = nullptr;
  std::vector<std::string>* outer;
  zam_logger_fn old;
};

// The log of this test program, opened once in a temporary folder; tail()
// gives what was logged since the object was made. Logging is switched off
// again when the object goes.
struct LogTail {
  static const std::string& file() {
    static TempDir dir;
    static const std::string name = dir.file("test.log");
    return name;
  }
  std::uintmax_t start = 0;
  LogTail() {
    zam_logger_name(file().c_str());
    zam_logger_state(1);
    start = std::filesystem::file_size(file());
  }
  ~LogTail() { zam_logger_state(0); }
  std::string tail() const {
    zam_logger_state(1);  // flushes
    return read_file(file()).substr(start);
  }
};

}  // namespace testutil
