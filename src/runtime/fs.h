// Small file-system wrappers for the runtime. Every descriptor opened here is
// close-on-exec, so a child started at the same time by another thread never
// inherits it; every open, read, write and stat that can be interrupted by a
// signal is retried on EINTR.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace dovek::runtime {

// The identity of a file: what tells a directory from another of the same
// name (after a rename) and a cycle through symbolic links from a shared link.
struct DirId {
  dev_t dev;
  ino_t ino;
  bool operator==(const DirId&) const = default;
};

// The largest text file read_text_file reads. Manifests are a few hundred
// bytes; the cap keeps a huge, sparse or endless file from exhausting memory.
inline constexpr size_t kMaxTextFileSize = size_t{16} << 20;

// The operating system's text for an errno value, the way the runtime shows
// it everywhere: "No such file or directory (os error 2)".
Error os_error(int err);

// `base` joined with `part` the way a path library joins: an absolute `part`
// replaces `base`, an empty `base` yields `part`, and no separator is doubled
// after a trailing '/'.
std::string join_path(std::string_view base, std::string_view part);

// `path` made absolute against the current working directory (not
// normalised: "." and ".." components stay).
[[nodiscard]] Result<std::string> absolute_path(const std::string& path);

// The parent of `path` as a path library reports it, or nullopt for "/" and
// the empty path. "a" has the empty parent "".
std::optional<std::string> parent_path(std::string_view path);

// Whether `path` holds a NUL byte. No such path can exist, and handing it to
// the OS as a C string would silently name a different, shorter path, so
// every wrapper below refuses it instead.
bool has_nul(std::string_view path);
// The error for such a path.
Error nul_in_path_error();

// stat() following symbolic links; nullopt when it fails.
std::optional<struct stat> stat_path(const std::string& path);
bool is_directory(const std::string& path);
bool is_regular_file(const std::string& path);

// Reads a whole regular file as UTF-8 text. The file is opened without
// blocking, so a FIFO fails instead of waiting for a writer. A file larger
// than kMaxTextFileSize fails ("file is larger than 16777216 bytes") whatever
// its reported size, after reading at most one byte beyond the cap. The error
// is the bare cause (OS error text); callers add their context.
[[nodiscard]] Result<std::string> read_text_file(const std::string& path);

// mkdir -p with mode 0777 reduced by the umask. The error is the OS error.
[[nodiscard]] Status create_dir_all(const std::string& path);

// Removes `path` and everything below it without following symbolic links.
// Walks the tree iteratively with at most three descriptors open at any depth
// (it climbs back through "..", checking it lands in the directory it came
// from), so neither the descriptor limit nor the path length limit stops it.
// The error is the OS error.
[[nodiscard]] Status remove_dir_all(const std::string& path);

// Asked between the chunks of a long copy; true stops it.
using StopCheck = std::function<bool()>;
// The error of a copy that `stop` ended.
inline constexpr std::string_view kCopyStoppedMessage = "copy stopped";
// The most a copy moves between two questions to its StopCheck: small
// enough to take a few milliseconds even on a slow disk.
inline constexpr size_t kCopyChunk = size_t{1} << 20;

// Copies one file, replacing `to`, following a symbolic link at `from`: the
// contents, with the source's holes kept as holes, and the permission bits
// but set-user-ID, set-group-ID and sticky, which a copy never carries. A
// source that is not a regular file fails (and a FIFO never blocks). `stop`
// (may be empty) is asked before every chunk of at most kCopyChunk bytes;
// when it answers true the copy fails with kCopyStoppedMessage, leaving a
// partial `to` for the caller to remove. Other errors are the OS error.
[[nodiscard]] Status copy_file(const std::string& from, const std::string& to,
                               const StopCheck& stop = {});
// The same with `from` relative to the directory open at `dir_fd`.
[[nodiscard]] Status copy_file_at(int dir_fd, const std::string& from, const std::string& to,
                                  const StopCheck& stop = {});

// The names in `dir` but "." and "..", in the order the OS lists them. A
// directory that cannot be opened is "read {dir}" with the OS error; a failure
// while reading an entry is the bare OS error.
[[nodiscard]] Result<std::vector<std::string>> list_names(const std::string& dir);

// realpath(); the error is the OS error.
[[nodiscard]] Result<std::string> canonical_path(const std::string& path);

}  // namespace dovek::runtime
