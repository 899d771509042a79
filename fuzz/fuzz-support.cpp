#include "fuzz-support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fz {

namespace {

GLogWriterOutput writer(GLogLevelFlags level, const GLogField *fields, gsize n_fields, gpointer) {
  static const bool verbose = g_getenv("FUZZ_VERBOSE") != nullptr;
  const bool fatal = (level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR)) != 0;
  if (fatal || verbose)
    g_log_writer_standard_streams(level, fields, n_fields, nullptr);
  if (fatal) {
    fputs("invariant broken: a critical or error was logged\n", stderr);
    abort();
  }
  return G_LOG_WRITER_HANDLED;
}

}  // namespace

void setup() {
  static gsize done = 0;
  if (g_once_init_enter(&done)) {
    g_log_set_writer_func(writer, nullptr, nullptr);
    // Messages that bypass the writer (g_log with a handler of its own) still
    // stop the run.
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
    g_once_init_leave(&done, 1);
  }
}

void fail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("invariant broken: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  fflush(stderr);
  abort();
}

uint8_t Reader::byte() {
  return pos_ < size_ ? data_[pos_++] : 0;
}

uint16_t Reader::u16le() {
  const uint8_t low = byte();
  return static_cast<uint16_t>(low | (byte() << 8));
}

std::string_view Reader::take(size_t n) {
  n = MIN(n, remaining());
  std::string_view out(reinterpret_cast<const char *>(data_) + pos_, n);
  pos_ += n;
  return out;
}

std::string_view Reader::until(char delimiter, bool *found) {
  if (remaining() == 0) {
    if (found != nullptr)
      *found = false;
    return {};
  }
  const auto *start = reinterpret_cast<const char *>(data_) + pos_;
  const auto *end = static_cast<const char *>(memchr(start, delimiter, remaining()));
  if (found != nullptr)
    *found = end != nullptr;
  if (end == nullptr)
    return take(remaining());
  std::string_view out(start, static_cast<size_t>(end - start));
  pos_ += out.size() + 1;
  return out;
}

const uint8_t *Reader::rest(size_t *length) {
  *length = remaining();
  const uint8_t *out = data_ + pos_;
  pos_ = size_;
  return out;
}

}  // namespace fz
