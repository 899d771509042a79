/* Stands in for libFuzzer's driver in ordinary builds: runs the target once
 * on every file named, and on every file of every directory named, so the
 * test suite replays the committed corpora (under the sanitizers too).
 * Each input runs in a child process of its own, so one crash does not hide
 * the next and the leak checker judges every input alone. */
#include <glib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz-support.h"

namespace {

/* Whether the target ran through on the input at @path. */
bool replay(const std::string &path) {
  gchar *contents = nullptr;
  gsize length = 0;
  g_autoptr(GError) error = nullptr;
  if (!g_file_get_contents(path.c_str(), &contents, &length, &error)) {
    fprintf(stderr, "FAILED %s: cannot read it: %s\n", path.c_str(), error->message);
    return false;
  }
  // An exact-size copy: the sanitizers catch a read one byte past the
  // input, which g_file_get_contents's trailing NUL would hide.
  std::unique_ptr<uint8_t[]> data(new uint8_t[length]);
  memcpy(data.get(), contents, length);
  g_free(contents);
  fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(), static_cast<size_t>(length));
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "cannot fork: %s\n", g_strerror(errno));
    return false;
  }
  if (pid == 0) {
    LLVMFuzzerTestOneInput(data.get(), length);
    data.reset();
    // exit(), not _exit(): the leak checker runs at exit.
    exit(0);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      fprintf(stderr, "cannot wait for the run on %s: %s\n", path.c_str(), g_strerror(errno));
      return false;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return true;
  if (WIFSIGNALED(status))
    fprintf(stderr, "FAILED %s: killed by signal %d\n", path.c_str(), WTERMSIG(status));
  else
    fprintf(stderr, "FAILED %s: exit status %d\n", path.c_str(), WEXITSTATUS(status));
  return false;
}

/* Regular files of @dir in name order; dot files (editor leftovers, git
 * placeholders) are not inputs. */
bool list_dir(const char *dir, std::vector<std::string> *out) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDir) handle = g_dir_open(dir, 0, &error);
  if (handle == nullptr) {
    fprintf(stderr, "cannot open %s: %s\n", dir, error->message);
    return false;
  }
  std::vector<std::string> names;
  while (const gchar *name = g_dir_read_name(handle)) {
    if (name[0] == '.')
      continue;
    g_autofree gchar *path = g_build_filename(dir, name, nullptr);
    if (g_file_test(path, G_FILE_TEST_IS_REGULAR))
      names.emplace_back(path);
  }
  std::sort(names.begin(), names.end());
  out->insert(out->end(), names.begin(), names.end());
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
    fprintf(argc < 2 ? stderr : stdout,
            "Usage: %s FILE|DIRECTORY...\n"
            "Runs this fuzz target once on each file named and on each file of each directory.\n",
            argv[0]);
    return argc < 2 ? 2 : 0;
  }
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; i++) {
    if (g_file_test(argv[i], G_FILE_TEST_IS_DIR)) {
      if (!list_dir(argv[i], &inputs))
        return 1;
    } else {
      inputs.emplace_back(argv[i]);
    }
  }
  // An empty corpus would make the replay pass without running anything.
  if (inputs.empty()) {
    fprintf(stderr, "no inputs found\n");
    return 1;
  }
  std::vector<std::string> failed;
  for (const auto &path : inputs)
    if (!replay(path))
      failed.push_back(path);
  printf("%zu inputs replayed, %zu failed\n", inputs.size(), failed.size());
  for (const auto &path : failed)
    printf("  failed: %s\n", path.c_str());
  return failed.empty() ? 0 : 1;
}
