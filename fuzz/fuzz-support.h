/* Shared by the fuzz targets: the libFuzzer entry point, a log writer that
 * keeps millions of runs quiet but turns criticals into crashes, invariant
 * checks that abort with a message, and a reader that splits the input. */
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fz {

/* Installs the log writer once per process: criticals and errors are
 * printed and abort (a fuzzer counts them as crashes); everything else is
 * dropped unless FUZZ_VERBOSE is set. */
void setup();

/* Prints "invariant broken: ..." and aborts. */
[[noreturn]] void fail(const char *format, ...) G_GNUC_PRINTF(1, 2);

/* Consumes the input front to back; reads past the end give zeroes and
 * empty views, so every input is usable. */
class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  size_t remaining() const { return size_ - pos_; }
  uint8_t byte();
  uint16_t u16le();
  /* Up to @n bytes. */
  std::string_view take(size_t n);
  /* The bytes before the next @delimiter, which is consumed; the whole
   * rest when there is none (then *found is false). */
  std::string_view until(char delimiter, bool *found = nullptr);
  /* Everything not yet read, pointing into the caller's buffer, so the
   * sanitizers see reads past its end. */
  const uint8_t *rest(size_t *length);

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace fz

#define FZ_CHECK(cond, ...)  \
  do {                       \
    if (G_UNLIKELY(!(cond))) \
      fz::fail(__VA_ARGS__); \
  } while (0)
