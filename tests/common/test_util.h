// Helpers shared by the test programs: the shared structure folder, fresh
// temporary folders that clean up after themselves, and small file helpers.
#pragma once

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace testutil {

// Folder of real structures shared with CI ("../shared/data" beside the project).
inline std::string shared_data() { return TREL_SHARED_DATA; }
inline std::string shared_pdb(const std::string& rel) { return shared_data() + "/pdb/" + rel; }
inline bool have_shared_data() { return std::filesystem::exists(shared_data() + "/pdb"); }

// Fails the calling test (a function returning nothing, as a test body or a
// fixture's SetUp is) naming the shared structure folder when it is missing:
// a test that needs the structures must never pass by skipping them.
#define TREL_REQUIRE_SHARED_DATA()                  \
  ASSERT_TRUE(::testutil::have_shared_data())       \
      << "shared structure folder missing: " << ::testutil::shared_data() << "/pdb"

// The structure files of the shared folder in path order: every regular file
// ending in ".pdb" or ".pdb.gz", and in ".ent" or ".ent.gz" too when with_ent.
// Empty when the folder is missing.
inline std::vector<std::string> shared_structure_files(bool with_ent) {
  std::vector<std::string> files;
  const std::string root = shared_data() + "/pdb";
  if (!std::filesystem::exists(root)) return files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    const std::string f = e.path().string();
    if (!e.is_regular_file()) continue;
    if (f.ends_with(".pdb") || f.ends_with(".pdb.gz") ||
        (with_ent && (f.ends_with(".ent") || f.ends_with(".ent.gz"))))
      files.push_back(f);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// The lines of a text (without their newlines) and the words of a line.
inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}
inline std::vector<std::string> split_words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

// A fresh folder under the system temporary folder, removed with everything
// in it when the object goes out of scope.
struct TempDir {
  std::filesystem::path path;
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "trel_test_XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    path = made ? std::filesystem::path(made) : std::filesystem::path();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return (path / name).string(); }
  std::string str() const { return path.string(); }
};

// How many times part occurs in text (overlaps counted).
inline int occurrences(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
  return n;
}

inline std::string read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void write_file(const std::string& name, const std::string& text) {
  std::ofstream out(name, std::ios::binary);
  out << text;
}

// Rewrites the file in place (the same inode) with text and sets its times
// back to what they were, as cp -p, rsync -t or tar x do; false when the
// file could not be looked at or its times not set.
inline bool rewrite_with_old_times(const std::string& name, const std::string& text) {
  struct stat st;
  if (lstat(name.c_str(), &st) != 0) return false;
  write_file(name, text);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  return utimensat(AT_FDCWD, name.c_str(), times, 0) == 0;
}

// A folder made at path that no one, root included, can move, rename or
// fill (the immutable attribute): a name that no file can take, for a
// write that must fail. fixed is false where the file system keeps no such
// attribute. The attribute is cleared when it goes, so that the folder can
// be removed (before the TempDir that holds it).
struct FixedFolder {
  std::string path;
  bool fixed = false;
  explicit FixedFolder(std::string at) : path(std::move(at)) {
    std::filesystem::create_directories(path);
    fixed = setFlag(true);
  }
  ~FixedFolder() {
    if (fixed) setFlag(false);
  }
  FixedFolder(const FixedFolder&) = delete;
  FixedFolder& operator=(const FixedFolder&) = delete;
  bool setFlag(bool on) const {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return ok;
  }
};

// While it lives, no file of this process may grow past bytes: a write
// beyond fails with EFBIG (SIGXFSZ ignored), as on a full disk.
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) {
    ok = getrlimit(RLIMIT_FSIZE, &old) == 0;
    handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old;
    limit.rlim_cur = bytes;
    ok = ok && setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, handler);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool ok = false;
  struct rlimit old {};
  void (*handler)(int) = SIG_DFL;
};

}  // namespace testutil
