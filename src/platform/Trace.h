#pragma once
// The debug trace: developer-facing lines that nothing in the updater reads
// back. Every line goes to the sink; the sink may keep it (tests read it) and
// may echo it to standard error (the program does so when NIMBREL_TRACE is
// set). Thread-safe: the transports trace from their own threads.

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel::platform {

class Trace final {
 public:
  Trace() = default;
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // Sends one text, as given (some end in a line feed, most do not).
  void Debug(std::string_view text);
  // printf-style convenience for the formatted debug lines.
  void Debugf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Where the lines go. Keeping is on by default; echo is off.
  void SetKeep(bool keep);
  void SetEcho(std::FILE* stream);  // nullptr: no echo

  std::vector<std::string> Lines() const;
  bool Contains(std::string_view text) const;
  std::size_t Count(std::string_view text) const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  bool keep_ = true;
  std::FILE* echo_ = nullptr;
};

}  // namespace nimbrel::platform
