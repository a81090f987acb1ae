// Paths, folders and file names: path strings, folder tests, creation,
// glob listings and the deletion of folder trees.
#include "runtime/zam_directory.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/kids.h"
#include "runtime/zam_crc.h"
#include "runtime/zam_identity.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_vm.h"

namespace {

// Paths are at most this long; every output buffer holds it and a terminator.
constexpr size_t kPathMax = 256;
// Paths built while deleting a tree may be longer.
constexpr size_t kTreePathMax = 4095;

inline bool is_sep(char c) { return c == '/' || c == '\\'; }

inline const char* text(const char* s) { return s ? s : ""; }

// Refuses an input path longer than kPathMax; reported once here.
bool path_fits(const char* op, const char* path) {
  size_t len = std::strlen(path);
  if (len <= kPathMax) return true;
  zam_err("%s: path of %zu characters is longer than %zu: %.64s...\n", op, len, kPathMax, path);
  return false;
}

// Stores a result in the caller's buffer; a result longer than kPathMax is
// refused and leaves the buffer empty.
char* put(char* out, const std::string& s, const char* op) {
  if (s.size() > kPathMax) {
    zam_err("%s: result of %zu characters is longer than %zu: %.64s...\n", op, s.size(), kPathMax,
            s.c_str());
    out[0] = 0;
    return out;
  }
  std::memcpy(out, s.c_str(), s.size() + 1);
  return out;
}

char* empty(char* out) {
  out[0] = 0;
  return out;
}

std::string cwd() {
  std::vector<char> buf(4096);
  if (!getcwd(buf.data(), buf.size())) return {};
  return buf.data();
}

// Directory part; see zam_dirname.
std::string dir_part(const std::string& path) {
  if (path.empty() || path == ".") return cwd();
  for (size_t i = path.size(); i-- > 0;) {
    if (!is_sep(path[i])) continue;
    return i == 0 ? std::string("/") : path.substr(0, i);
  }
  return path;
}

// Offset of the base name: after the last separator that is not the last
// character, 0 when there is none.
size_t base_offset(const std::string& path) {
  if (path.size() < 2) return 0;
  for (size_t i = path.size() - 1; i-- > 0;) {
    if (is_sep(path[i])) return i + 1;
  }
  return 0;
}

std::string root_part(const std::string& path) {
  std::string base = path.substr(base_offset(path));
  size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base.erase(dot);
  return base;
}

// Names in dir that match pattern under match(pattern, name), in directory
// order. False when the folder cannot be read.
template <typename Match>
bool list_dir(const char* dir, const char* pattern, Match match, std::vector<std::string>& names) {
  DIR* d = opendir(dir);
  if (!d) return false;
  while (dirent* e = readdir(d)) {
    if (match(pattern, e->d_name) == 0) names.emplace_back(e->d_name);
  }
  closedir(d);
  return true;
}

int platform_match(const char* pattern, const char* name) {
  return fnmatch(pattern, name, FNM_PATHNAME | FNM_PERIOD);
}

int own_match(const char* pattern, const char* name) {
  return zam_fnmatch(pattern, name, ZAM_FNM_PATHNAME | ZAM_FNM_PERIOD);
}

// The path without its trailing separators ("/" stays "/").
std::string trim_seps(const std::string& path) {
  std::string s = path;
  while (s.size() > 1 && is_sep(s.back())) s.pop_back();
  return s;
}

// Names that must never be deleted as a tree: "", ".", ".." and any path
// whose last part is "." or ".." (deleting "a/.." would empty a's parent).
bool refused_tree(const std::string& path) {
  std::string s = trim_seps(path);
  size_t cut = s.find_last_of("/\\");
  std::string last = cut == std::string::npos ? s : s.substr(cut + 1);
  return s.empty() || last == "." || last == "..";
}

int remove_tree(const std::string& path, int really);

// Deletes one entry of a tree: a real directory by remove_tree, anything
// else (files and symbolic links, also links to directories) by unlink.
// Returns 0 on success.
int remove_entry(const std::string& entry, int really) {
  struct stat st;
  if (lstat(entry.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return remove_tree(entry, really);
  if (!really) {
    zam_msg("UNLINK: %s\n", entry.c_str());
    return 0;
  }
  zam_log("unlink(%s)\n", entry.c_str());
  if (unlink(entry.c_str()) != 0) {
    zam_err("Failed to delete %s [%s]\n", entry.c_str(), std::strerror(errno));
    return 1;
  }
  return 0;
}

int remove_tree(const std::string& path, int really) {
  int failed = 0;
  int count = 0;
  char** names = zam_scandir(path.c_str(), "*", &count);
  bool ends_sep = !path.empty() && is_sep(path.back());
  for (int i = 0; i < count; i++) {
    std::string entry = path + (ends_sep ? "" : "/") + names[i];
    kfree(names[i]);
    if (entry.size() > kTreePathMax) {
      zam_err("Failed to delete %.200s... [%s]\n", entry.c_str(), std::strerror(ENAMETOOLONG));
      failed = 1;
      continue;
    }
    // A failing entry has reported itself; the rest of the tree goes on.
    if (remove_entry(entry, really) != 0) failed = 1;
  }
  kfree(names);
  if (!really) {
    zam_msg("RMDIR: %s\n", path.c_str());
    return failed;
  }
  zam_log("rmdir(%s)\n", path.c_str());
  if (rmdir(path.c_str()) != 0) {
    zam_err("Failed to delete %s [%s]\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  return failed;
}

}  // namespace

// ---------------------------------------------------------------------------
// Path strings

const char* zam_fileslash() { return "/"; }

char* zam_cwdname(char* out) { return put(out, cwd(), "zam_cwdname"); }

int64_t zam_filesize(const char* path) {
  struct stat st;
  if (!path || stat(path, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

char* zam_dirname(const char* path, char* out) {
  path = text(path);
  if (!path_fits("zam_dirname", path)) return empty(out);
  return put(out, dir_part(path), "zam_dirname");
}

char* zam_basename(const char* path, char* out) {
  path = text(path);
  if (!path_fits("zam_basename", path)) return empty(out);
  std::string s = path;
  put(out, s, "zam_basename");
  return out + base_offset(s);
}

char* zam_rootname(const char* path, char* out) {
  path = text(path);
  if (!path_fits("zam_rootname", path)) return empty(out);
  return put(out, root_part(path), "zam_rootname");
}

char* zam_endname(const char* path, char* out) {
  path = text(path);
  if (!path_fits("zam_endname", path)) return empty(out);
  put(out, path, "zam_endname");
  char* dot = std::strrchr(out, '.');
  return dot ? dot : out + std::strlen(out);
}

char* zam_extname(const char* path, char* out) {
  path = text(path);
  if (!path_fits("zam_extname", path)) return empty(out);
  std::string s = path;
  put(out, s.substr(base_offset(s)), "zam_extname");
  char* dot = std::strchr(out, '.');
  return dot ? dot : out + std::strlen(out);
}

char* zam_filename(const char* path, const char* ext, char* out) {
  path = text(path);
  if (!path_fits("zam_filename", path)) return empty(out);
  return put(out, zam_filenameS(path, ext), "zam_filename");
}

std::string zam_filenameS(const std::string& path, const char* ext) {
  const std::string dir = dir_part(path);
  std::string name = dir == path ? std::string() : dir + "/";
  name += root_part(path);
  name += ".";
  name += text(ext);
  return name;
}

std::string zam_hashName(const std::string& name, size_t length) {
  if (name.size() <= length) return name;
  constexpr size_t kHash = 9;  // "~" and 8 hex digits
  size_t head = length > kHash ? length - kHash : 1;
  // A cut inside a UTF-8 character would leave a name no terminal shows.
  while (head > 1 && (static_cast<unsigned char>(name[head]) & 0xC0) == 0x80) head--;
  char hash[kHash + 1];
  snprintf(hash, sizeof hash, "~%08" PRIx32, zam_crc32(0, name.data(), static_cast<int64_t>(name.size())));
  return name.substr(0, head) + hash;
}

std::string zam_fileName(const std::vector<std::string>& names, const std::string& tail, size_t room) {
  std::string file;
  for (const std::string& name : names) file += (file.empty() ? "" : "_") + name;
  if (file.size() + tail.size() <= room) return file + tail;
  file.clear();
  for (size_t k = 0; k < names.size(); k++) {
    const std::string& name = names[k];
    const std::string shortened = zam_hashName(name, ZAM_NAME_SHORT);
    if (shortened != name)
      zam_adv_once("Result file names too long for the file system use %s in place of %s\n", shortened.c_str(),
                   name.c_str());
    file += (k ? "_" : "") + shortened;
  }
  return file + tail;
}

char* zam_pathslash(const char* dir, char* out) {
  dir = text(dir);
  if (!path_fits("zam_pathslash", dir)) return empty(out);
  std::string s = *dir ? dir : ".";
  if (s.back() != '/') s += "/";
  return put(out, s, "zam_pathslash");
}

char* zam_catpath(const char* dir, const char* name, char* out) {
  dir = text(dir);
  name = text(name);
  if (!path_fits("zam_catpath", dir) || !path_fits("zam_catpath", name)) return empty(out);
  std::string d = dir;
  if (!d.empty() && is_sep(d.back())) d.pop_back();
  std::string n = name;
  if (n == ".") return put(out, d, "zam_catpath");
  if (n == ".." || n == "../" || n == "..\\") {
    // A folder without a separator is a child of the working folder.
    if (!d.empty() && d.find_first_of("/\\") == std::string::npos && d != "." && d != "..")
      return put(out, ".", "zam_catpath");
    return put(out, dir_part(d), "zam_catpath");
  }
  if (d.empty() || !is_sep(d.back())) d += "/";
  return put(out, d + n, "zam_catpath");
}

char* zam_make_path(const char* var, const char* tail, char* out) {
  const char* value = var && *var ? zam_getenv(var) : "";
  if (value && *value) {
    if (!path_fits("zam_make_path", value)) return empty(out);
    return put(out, value, "zam_make_path");
  }
  return put(out, std::string(zam_getenv("ZAM_ROOT")) + text(tail), "zam_make_path");
}

char* zam_findfile(const char* name, char* out, int n, ...) {
  name = text(name);
  if (!path_fits("zam_findfile", name)) return empty(out);
  std::string s = name;
  struct stat st;
  if (s == "-" || dir_part(s) != s || stat(name, &st) == 0) return put(out, s, "zam_findfile");
  va_list ap;
  va_start(ap, n);
  std::string found;
  for (int i = 0; i < n; i++) {
    const char* dir = va_arg(ap, const char*);
    if (!dir || !*dir || !found.empty()) continue;
    std::string candidate = std::string(dir) + "/" + s;
    if (candidate.size() <= kPathMax && zam_filesize(candidate.c_str()) > 0) found = candidate;
  }
  va_end(ap);
  return put(out, found.empty() ? s : found, "zam_findfile");
}

std::string zam_findPacked(const std::string& name) {
  if (name.empty()) return name;
  for (const char* ending : {"", ".gz", ".bz2"}) {
    const std::string path = name + ending;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && st.st_size >= 1) return path;
  }
  return std::string();
}

// ---------------------------------------------------------------------------
// Folders

int zam_isdir(const char* path) {
  struct stat st;
  return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int zam_mkdir(const char* path, int mode) {
  if (!path || !*path) return 0;
  // A folder that is there already (a user's, another run's, or one a link
  // leads to) is used as it is: its mode is never changed.
  if (zam_isdir(path)) return 1;
  if (mkdir(path, static_cast<mode_t>(mode)) == 0) return 1;
  // Another process (a second run sharing the results folder) may have made
  // it since the test above: a folder is what was asked for.
  return errno == EEXIST && zam_isdir(path) ? 1 : 0;
}

char** zam_scandir(const char* dir, const char* pattern, int* count) {
  std::vector<std::string> names;
  *count = 0;
  if (!dir || !list_dir(dir, pattern ? pattern : "*", platform_match, names) || names.empty())
    return nullptr;
  auto** list = static_cast<char**>(zam_vm_get_0(static_cast<int64_t>(names.size() * sizeof(char*))));
  if (!list) return nullptr;
  for (size_t i = 0; i < names.size(); i++) list[i] = kdupS(names[i].c_str());
  *count = static_cast<int>(names.size());
  return list;
}

char** kscanDir(const char* dir, const char* pattern, int* count) {
  std::vector<std::string> names;
  *count = 0;
  if (!dir || !list_dir(dir, pattern ? pattern : "*", own_match, names)) return nullptr;
  // In the "C" collation (the program never sets another) strcoll is byte
  // order, which the strings' own comparison gives without the locale calls.
  static const bool bytewise = [] {
    const char* c = setlocale(LC_COLLATE, nullptr);
    return c && (std::strcmp(c, "C") == 0 || std::strcmp(c, "POSIX") == 0);
  }();
  if (bytewise)
    std::sort(names.begin(), names.end());
  else
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return std::strcoll(a.c_str(), b.c_str()) < 0;
    });
  char** list = kget1S(static_cast<int64_t>(names.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < names.size(); i++) list[i] = kdupS(names[i].c_str());
  *count = static_cast<int>(names.size());
  return list;
}

bool zam_folderEntries(const std::string& folder, std::vector<std::string>* names) {
  DIR* d = opendir(folder.c_str());
  if (!d) return false;
  while (const dirent* e = readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names->emplace_back(e->d_name);
  closedir(d);
  return true;
}

int zam_removeFiles(const std::string& folder, const std::function<bool(const std::string&)>& chosen,
                    long long before) {
  const std::string dir = folder.empty() ? std::string(".") : folder;
  std::vector<std::string> entries;
  if (!zam_folderEntries(dir, &entries)) return 0;
  const std::string prefix = dir.back() == '/' ? dir : dir + "/";
  std::vector<std::string> picked;
  for (const std::string& entry : entries)
    if (chosen(entry)) picked.push_back(prefix + entry);
  int removed = 0;
  for (const std::string& path : picked) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const long long changed = zam_nanoseconds(st.st_mtim);
    if (changed < before && unlink(path.c_str()) == 0) removed++;
  }
  return removed;
}

int zam_rmdir(const char* path, int really) {
  std::string s = text(path);
  if (refused_tree(s) || s.size() > kTreePathMax) {
    errno = EINVAL;
    return 1;
  }
  // A symbolic link given as the tree itself is removed, not entered.
  struct stat st;
  std::string link = trim_seps(s);
  if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return remove_entry(link, really);
  return remove_tree(s, really);
}

int zam_fnmatch(const char* pattern, const char* string, int flags) {
  if (!pattern || !string) return 1;
  int f = 0;
  if (flags & ZAM_FNM_PATHNAME) f |= FNM_PATHNAME;
  if (flags & ZAM_FNM_NOESCAPE) f |= FNM_NOESCAPE;
  if (flags & ZAM_FNM_PERIOD) f |= FNM_PERIOD;
  if (flags & ZAM_FNM_LEADING_DIR) f |= FNM_LEADING_DIR;
  if (flags & ZAM_FNM_CASEFOLD) f |= FNM_CASEFOLD;
  return fnmatch(pattern, string, f) == 0 ? 0 : 1;
}

int zam_alphasort(const struct dirent** a, const struct dirent** b) {
  return std::strcoll((*a)->d_name, (*b)->d_name);
}
