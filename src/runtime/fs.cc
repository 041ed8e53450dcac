#include "runtime/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "base/unique_fd.h"
#include "base/utf8.h"

namespace dovek::runtime {

namespace {

// Calls `call` again while it fails with EINTR.
template <class Call>
auto retry_eintr(Call call) {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}

// Deleter for std::unique_ptr<DIR, DirCloser>.
struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// Calls `visit(name, d_type)` for every entry of `dir` but "." and "..", in
// the order the OS lists them. The error is the OS error of a failed read.
template <class Visit>
Status for_each_entry(DIR* dir, Visit&& visit) {
  while (true) {
    errno = 0;  // readdir reports the end and a failure alike, but for errno
    dirent* entry = readdir(dir);
    if (entry == nullptr) return errno != 0 ? Status(os_error(errno)) : ok_status();
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    visit(name, entry->d_type);
  }
}

}  // namespace

Error os_error(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return Error(std::string(text) + " (os error " + std::to_string(err) + ")");
}

std::string join_path(std::string_view base, std::string_view part) {
  if (!part.empty() && part.front() == '/') return std::string(part);
  if (base.empty()) return std::string(part);
  std::string out(base);
  if (out.back() != '/') out.push_back('/');
  out.append(part);
  return out;
}

Result<std::string> absolute_path(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
  if (!cwd) return os_error(errno);
  if (path.empty()) return std::string(cwd.get());
  return join_path(cwd.get(), path);
}

std::optional<std::string> parent_path(std::string_view path) {
  // Trailing separators and "." components add nothing at the end.
  while (true) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path.size() >= 2 && path.substr(path.size() - 2) == "/.") {
      path.remove_suffix(2);
      continue;
    }
    break;
  }
  if (path.empty() || path == "/" || path == ".") {
    if (path == ".") return std::string();
    return std::nullopt;
  }
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  if (parent.empty()) return std::string("/");
  return std::string(parent);
}

bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

Error nul_in_path_error() { return Error("file name contained an unexpected NUL byte"); }

std::optional<struct stat> stat_path(const std::string& path) {
  if (has_nul(path)) return std::nullopt;
  struct stat st;
  if (retry_eintr([&] { return ::stat(path.c_str(), &st); }) != 0) return std::nullopt;
  return st;
}

bool is_directory(const std::string& path) {
  auto st = stat_path(path);
  return st && S_ISDIR(st->st_mode);
}

bool is_regular_file(const std::string& path) {
  auto st = stat_path(path);
  return st && S_ISREG(st->st_mode);
}

namespace {

Result<UniqueFd> open_fd(const std::string& path, int flags, mode_t mode = 0,
                         int dir_fd = AT_FDCWD) {
  if (has_nul(path)) return nul_in_path_error();
  int fd = retry_eintr([&] { return ::openat(dir_fd, path.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) return os_error(errno);
  return UniqueFd(fd);
}

// Opens `path` for reading without blocking and insists on a regular file.
Result<UniqueFd> open_regular(const std::string& path, struct stat& st, int dir_fd = AT_FDCWD) {
  DOVEK_ASSIGN_OR_RETURN(UniqueFd fd, open_fd(path, O_RDONLY | O_NONBLOCK, 0, dir_fd));
  if (retry_eintr([&] { return fstat(fd.get(), &st); }) != 0) return os_error(errno);
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
  if (!S_ISREG(st.st_mode)) {
    return Error("the source path is neither a regular file nor a symlink to a regular file");
  }
  return fd;
}

Error too_large_error() {
  return Error("file is larger than " + std::to_string(kMaxTextFileSize) + " bytes");
}

}  // namespace

Result<std::string> read_text_file(const std::string& path) {
  struct stat st;
  DOVEK_ASSIGN_OR_RETURN(UniqueFd fd, open_regular(path, st));
  if (st.st_size > static_cast<off_t>(kMaxTextFileSize)) return too_large_error();
  std::string text;
  text.reserve(static_cast<size_t>(st.st_size) + 1);
  char buf[16384];
  while (true) {
    // The size stat reports means nothing for /proc files or a file that
    // grows meanwhile: one byte beyond the cap is what proves a file too large.
    size_t want = std::min(sizeof buf, kMaxTextFileSize + 1 - text.size());
    ssize_t n = retry_eintr([&] { return ::read(fd.get(), buf, want); });
    if (n < 0) return os_error(errno);
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > kMaxTextFileSize) return too_large_error();
  }
  if (!utf8::is_valid(text)) return Error("stream did not contain valid UTF-8");
  return text;
}

Status create_dir_all(const std::string& path) {
  if (path.empty()) return ok_status();
  if (has_nul(path)) return nul_in_path_error();
  if (::mkdir(path.c_str(), 0777) == 0) return ok_status();
  int err = errno;
  if (err == EEXIST) {
    if (is_directory(path)) return ok_status();
    return os_error(EEXIST);
  }
  if (err != ENOENT) return os_error(err);
  auto parent = parent_path(path);
  if (!parent) return os_error(err);
  DOVEK_TRY(create_dir_all(*parent));
  if (::mkdir(path.c_str(), 0777) == 0) return ok_status();
  err = errno;
  if (err == EEXIST && is_directory(path)) return ok_status();
  return os_error(err);
}

namespace {

// Opens the directory `name` inside `dir_fd` without following a link; an
// invalid descriptor with errno set when that fails.
UniqueFd open_dir_at(int dir_fd, const char* name) {
  return UniqueFd(retry_eintr(
      [&] { return ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
}

Result<DirId> dir_id(int fd) {
  struct stat st;
  if (retry_eintr([&] { return fstat(fd, &st); }) != 0) return os_error(errno);
  return DirId{st.st_dev, st.st_ino};
}

// Removes every entry of the directory open at `dir_fd` that is not a
// directory, and returns the names of the subdirectories. The names are read
// in full before anything is removed: readdir's view of a directory that
// changes under it is unspecified.
Result<std::vector<std::string>> unlink_files_at(int dir_fd) {
  // fdopendir takes its descriptor: hand it a second one so `dir_fd` stays ours.
  UniqueFd own = open_dir_at(dir_fd, ".");
  if (!own.valid()) return os_error(errno);
  std::unique_ptr<DIR, DirCloser> dir(fdopendir(own.get()));
  if (!dir) return os_error(errno);
  own.release();
  std::vector<std::pair<std::string, unsigned char>> entries;
  DOVEK_TRY(for_each_entry(dir.get(), [&](std::string_view name, unsigned char type) {
    entries.emplace_back(name, type);
  }));
  dir.reset();
  std::vector<std::string> subdirs;
  for (auto& [name, type] : entries) {
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (retry_eintr([&] { return fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW); }) !=
          0) {
        if (errno == ENOENT) continue;
        return os_error(errno);
      }
      type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
    }
    if (type == DT_DIR) {
      subdirs.push_back(std::move(name));
    } else if (unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) {
      return os_error(errno);
    }
  }
  return subdirs;
}

// Empties the directory open at `dir`, depth first, never following a
// symbolic link. Only the directory being emptied stays open: the walk keeps
// names on a stack and climbs back up through "..", checking it arrives in
// the directory it left (a tree moved meanwhile fails instead of removing
// entries somewhere else).
Status remove_contents(UniqueFd dir) {
  struct Level {
    std::string name;  // in the parent level's directory
    DirId id;
    std::vector<std::string> subdirs;  // still to empty and remove
  };
  std::vector<Level> levels;
  {
    DOVEK_ASSIGN_OR_RETURN(DirId id, dir_id(dir.get()));
    DOVEK_ASSIGN_OR_RETURN(std::vector<std::string> subdirs, unlink_files_at(dir.get()));
    levels.push_back(Level{std::string(), id, std::move(subdirs)});
  }
  while (true) {
    if (!levels.back().subdirs.empty()) {
      std::string name = std::move(levels.back().subdirs.back());
      levels.back().subdirs.pop_back();
      UniqueFd child = open_dir_at(dir.get(), name.c_str());
      if (!child.valid()) {
        if (errno == ENOENT) continue;
        return os_error(errno);
      }
      DOVEK_ASSIGN_OR_RETURN(DirId id, dir_id(child.get()));
      DOVEK_ASSIGN_OR_RETURN(std::vector<std::string> subdirs, unlink_files_at(child.get()));
      levels.push_back(Level{std::move(name), id, std::move(subdirs)});
      dir = std::move(child);
      continue;
    }
    if (levels.size() == 1) return ok_status();
    UniqueFd parent = open_dir_at(dir.get(), "..");
    if (!parent.valid()) return os_error(errno);
    DOVEK_ASSIGN_OR_RETURN(DirId parent_id, dir_id(parent.get()));
    if (parent_id != levels[levels.size() - 2].id) {
      return Error("a directory was moved while its contents were being removed");
    }
    if (unlinkat(parent.get(), levels.back().name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      return os_error(errno);
    }
    levels.pop_back();
    dir = std::move(parent);
  }
}

}  // namespace

Status remove_dir_all(const std::string& path) {
  if (has_nul(path)) return nul_in_path_error();
  struct stat st;
  if (retry_eintr([&] { return lstat(path.c_str(), &st); }) != 0) return os_error(errno);
  if (!S_ISDIR(st.st_mode)) {
    if (::unlink(path.c_str()) != 0) return os_error(errno);
    return ok_status();
  }
  DOVEK_ASSIGN_OR_RETURN(UniqueFd fd, open_fd(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
  DOVEK_TRY(remove_contents(std::move(fd)));
  if (::rmdir(path.c_str()) != 0) return os_error(errno);
  return ok_status();
}

namespace {

// The mode a copy gets: the source's permission bits without set-user-ID,
// set-group-ID and sticky. The copy belongs to whoever copies it, so those
// bits would hand the copier's identity to anyone who can run the file.
mode_t copy_mode(const struct stat& st) { return st.st_mode & 0777; }

// Copies `n` bytes at `offset` of `in` to the same offset of `out`, with
// copy_file_range while the kernel takes it (`kernel_copy`, cleared for good
// on the first refusal), else with pread/pwrite. Returns the bytes copied (0
// at the end of a source that shrank), or -1 with errno.
ssize_t copy_range(int in, int out, off_t offset, size_t n, bool& kernel_copy) {
  if (kernel_copy) {
    loff_t off_in = offset;
    loff_t off_out = offset;
    ssize_t done = retry_eintr([&] { return copy_file_range(in, &off_in, out, &off_out, n, 0); });
    if (done >= 0) return done;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
        errno != EBADF) {
      return -1;
    }
    kernel_copy = false;
  }
  char buf[65536];
  size_t total = 0;
  while (total < n) {
    size_t want = std::min(sizeof buf, n - total);
    ssize_t got = retry_eintr([&] { return ::pread(in, buf, want, offset + off_t(total)); });
    if (got < 0) return -1;
    if (got == 0) break;
    for (ssize_t put = 0; put < got;) {
      ssize_t w = retry_eintr([&] {
        return ::pwrite(out, buf + put, static_cast<size_t>(got - put),
                        offset + off_t(total) + put);
      });
      if (w < 0) return -1;
      put += w;
    }
    total += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(total);
}

// Copies the first `size` bytes of `in` to the empty file `out`: only the
// data segments (SEEK_DATA/SEEK_HOLE), each in chunks of at most kCopyChunk,
// asking `stop` before every chunk; the holes stay holes, and the final
// ftruncate gives the copy its size. A file system without hole support
// reports the whole file as data.
Status copy_contents(int in, int out, off_t size, const StopCheck& stop) {
  bool kernel_copy = true;
  off_t pos = 0;
  while (pos < size) {
    if (stop && stop()) return Error(std::string(kCopyStoppedMessage));
    off_t data = ::lseek(in, pos, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // nothing but a hole from here on
    off_t end = size;
    if (data < 0) {
      if (errno != EINVAL && errno != EOPNOTSUPP) return os_error(errno);
      data = pos;
    } else {
      off_t hole = ::lseek(in, data, SEEK_HOLE);
      if (hole < 0) return os_error(errno);
      end = std::min(hole, size);
    }
    while (data < end) {
      if (stop && stop()) return Error(std::string(kCopyStoppedMessage));
      size_t n = static_cast<size_t>(std::min<off_t>(end - data, off_t(kCopyChunk)));
      ssize_t done = copy_range(in, out, data, n, kernel_copy);
      if (done < 0) return os_error(errno);
      if (done == 0) {  // the source shrank while being copied
        end = size = data;
        break;
      }
      data += done;
    }
    pos = std::max(pos, end);
  }
  if (retry_eintr([&] { return ::ftruncate(out, size); }) != 0) return os_error(errno);
  return ok_status();
}

}  // namespace

Status copy_file_at(int dir_fd, const std::string& from, const std::string& to,
                    const StopCheck& stop) {
  struct stat st;
  DOVEK_ASSIGN_OR_RETURN(UniqueFd in, open_regular(from, st, dir_fd));
  DOVEK_ASSIGN_OR_RETURN(UniqueFd out, open_fd(to, O_WRONLY | O_CREAT | O_TRUNC, copy_mode(st)));
  DOVEK_TRY(copy_contents(in.get(), out.get(), st.st_size, stop));
  // The file may have existed with other bits: set them explicitly.
  if (fchmod(out.get(), copy_mode(st)) != 0) return os_error(errno);
  if (out.close() != 0) return os_error(errno);
  return ok_status();
}

Status copy_file(const std::string& from, const std::string& to, const StopCheck& stop) {
  return copy_file_at(AT_FDCWD, from, to, stop);
}

Result<std::string> canonical_path(const std::string& path) {
  if (has_nul(path)) return nul_in_path_error();
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  if (!resolved) return os_error(errno);
  return std::string(resolved.get());
}

Result<std::vector<std::string>> list_names(const std::string& dir) {
  if (has_nul(dir)) return context("read " + dir, nul_in_path_error());
  std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
  if (!d) return context("read " + dir, os_error(errno));
  std::vector<std::string> names;
  DOVEK_TRY(for_each_entry(d.get(), [&](std::string_view name, unsigned char) {
    names.emplace_back(name);
  }));
  return names;
}

}  // namespace dovek::runtime
