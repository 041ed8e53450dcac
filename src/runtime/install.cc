#include "runtime/install.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>

#include "runtime/fs.h"

namespace dovek::runtime {

namespace {

// Staging and leftover entries carry names no skill id can have (ids never
// start with '.'), and the skill's name between dots so one name's entries
// are never mistaken for another's.
constexpr std::string_view kStagingPrefix = ".dovek-install.";
constexpr std::string_view kOldPrefix = ".dovek-old.";

// Asks a CancelCheck at most every 50 ms by the clock: each question takes
// the interpreter back for a moment, far too costly to ask once per file.
class CancelPoll {
 public:
  explicit CancelPoll(const CancelCheck& cancel) : cancel_(cancel) {}

  // Whether the caller wants the operation stopped. The first call asks, and
  // so does any call with `now` set; the rest ask once the interval is over.
  bool cancelled(bool now = false) {
    if (cancelled_ || !cancel_) return cancelled_;
    auto t = std::chrono::steady_clock::now();
    if (!now && t < next_) return false;
    next_ = t + std::chrono::milliseconds(50);
    cancelled_ = cancel_();
    return cancelled_;
  }
  // Whether an earlier call found the operation cancelled.
  bool was_cancelled() const { return cancelled_; }

 private:
  const CancelCheck& cancel_;
  std::chrono::steady_clock::time_point next_{};
  bool cancelled_ = false;
};

// Copies the tree at `from` to `to` depth first without recursion: one frame
// per directory level holds the names still to copy, and the two paths grow
// and shrink by one component as the walk goes down and comes back up.
//
// Thread safety: one walk on one thread.
class TreeCopy {
 public:
  TreeCopy(const std::string& from, const std::string& to, CancelPoll* poll)
      : src_(from), dst_(to), poll_(poll) {}

  // `manifest_last`: the top level's "artifact.json" is copied last.
  Status run(bool manifest_last);

 private:
  struct Frame {
    std::optional<DirId> id;  // of the source directory, for cycle checks
    size_t from_size;
    size_t to_size;
    std::vector<std::string> pending;  // the next name to copy is last
  };

  Status enter(std::optional<DirId> id, bool manifest_last);
  Status copy_entry();

  std::vector<Frame> frames_;
  std::optional<DirId> target_root_;
  std::string src_;  // the source entry being copied
  std::string dst_;  // where it goes
  CancelPoll* poll_;
};

Status TreeCopy::run(bool manifest_last) {
  std::optional<DirId> root_id;
  if (auto st = stat_path(src_)) root_id = DirId{st->st_dev, st->st_ino};
  DOVEK_TRY(enter(root_id, manifest_last));
  while (!frames_.empty()) {
    Frame& frame = frames_.back();
    src_.resize(frame.from_size);
    dst_.resize(frame.to_size);
    if (frame.pending.empty()) {
      frames_.pop_back();
      continue;
    }
    if (poll_ != nullptr && poll_->cancelled()) return Error(std::string(kCancelledMessage));
    std::string name = std::move(frame.pending.back());
    frame.pending.pop_back();
    src_ = join_path(src_, name);
    dst_ = join_path(dst_, name);
    DOVEK_TRY(copy_entry());
  }
  return ok_status();
}

// Creates `dst_` and pushes the frame that copies the entries of `src_`.
Status TreeCopy::enter(std::optional<DirId> id, bool manifest_last) {
  DOVEK_TRY(with_context(create_dir_all(dst_), "create " + dst_));
  if (!target_root_) {
    // The directory being written must never be read as part of the source.
    if (auto st = stat_path(dst_)) target_root_ = DirId{st->st_dev, st->st_ino};
  }
  DOVEK_ASSIGN_OR_RETURN(std::vector<std::string> names, list_names(src_));
  if (manifest_last) {
    // The manifest makes a directory an installed skill: it comes last, so
    // a copy that stops early never looks complete.
    std::stable_partition(names.begin(), names.end(),
                          [](const std::string& n) { return n != "artifact.json"; });
  }
  std::reverse(names.begin(), names.end());
  frames_.push_back(Frame{id, src_.size(), dst_.size(), std::move(names)});
  return ok_status();
}

// Copies the entry `src_` to `dst_`: a directory (a link to one followed) by
// entering it, anything else as a file.
Status TreeCopy::copy_entry() {
  auto st = stat_path(src_);
  if (!st || !S_ISDIR(st->st_mode)) {
    // A large file is copied in chunks with a look for cancellation between
    // them, so Ctrl-C does not wait for the whole file.
    StopCheck stop;
    if (poll_ != nullptr) stop = [this] { return poll_->cancelled(); };
    return with_context(copy_file(src_, dst_, stop), "copy " + src_ + " to " + dst_);
  }
  DirId id{st->st_dev, st->st_ino};
  if (target_root_ && id == *target_root_) {
    return context("copy " + src_ + " to " + dst_,
                   Error("the target directory lies inside the source directory"));
  }
  if (std::any_of(frames_.begin(), frames_.end(), [&](const Frame& f) { return f.id == id; })) {
    return context("copy " + src_ + " to " + dst_,
                   Error("symbolic link cycle: the directory contains itself"));
  }
  return enter(id, false);
}

std::string unique_suffix() {
  static std::atomic<uint64_t> counter{0};
  return std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

// Creates a fresh staging directory for `name` in `skills_dir`.
Result<std::string> make_staging_dir(const std::string& skills_dir, const std::string& name) {
  while (true) {
    std::string path =
        join_path(skills_dir, std::string(kStagingPrefix) + name + "." + unique_suffix());
    if (::mkdir(path.c_str(), 0777) == 0) return path;
    if (errno != EEXIST) return os_error(errno);
  }
}

// Removes what earlier installs of `name` could not remove after their swap.
void remove_leftovers(const std::string& skills_dir, const std::string& name) {
  Result<std::vector<std::string>> names = list_names(skills_dir);
  if (!names.ok()) return;
  std::string prefix = std::string(kOldPrefix) + name + ".";
  for (const std::string& n : *names) {
    if (n.compare(0, prefix.size(), prefix) == 0) (void)remove_dir_all(join_path(skills_dir, n));
  }
}

// Copies `source` into the staging directory and reads the copy's manifest:
// what this call installs, read before the swap, since afterwards the
// destination may already hold another installer's copy.
Result<SkillArtifact> stage_copy(const std::string& source, const std::string& staging,
                                 CancelPoll& poll, const std::string& install_context) {
  Status copied = TreeCopy(source, staging, &poll).run(/*manifest_last=*/true);
  if (!copied.ok() && !poll.was_cancelled()) {
    return context(install_context, std::move(copied).error());
  }
  // A Ctrl-C that came after the copy's last look still counts: nothing has
  // changed yet.
  if (poll.cancelled(/*now=*/true)) return Error(std::string(kCancelledMessage));
  return with_context(load_artifact(staging), install_context);
}

// A name for an old installation on its way out, found and removed by the
// next install of `name` should this one fail to remove it.
std::string old_name(const std::string& skills_dir, const std::string& name) {
  return join_path(skills_dir, std::string(kOldPrefix) + name + "." + unique_suffix());
}

// Moves the complete copy at `staging` to `destination` with two plain
// renames (an old installation moved aside first), for file systems that
// cannot exchange two names atomically: a reader may miss the skill between
// the two.
Status replace_by_renames(const std::string& staging, const std::string& destination,
                          const std::string& skills_dir, const std::string& name, bool overwrite,
                          const std::string& install_context) {
  // Move the old installation aside (any kind of entry, a dangling link too).
  std::optional<std::string> old;
  struct stat lst;
  if (lstat(destination.c_str(), &lst) == 0) {
    if (!overwrite) return Error("installed skill already exists: " + destination);
    std::string aside = old_name(skills_dir, name);
    if (::rename(destination.c_str(), aside.c_str()) == 0) {
      old = std::move(aside);
    } else if (errno != ENOENT) {
      return context("remove " + destination, os_error(errno));
    }
  }
  if (::rename(staging.c_str(), destination.c_str()) != 0) {
    Error error = os_error(errno);
    if (old) ::rename(old->c_str(), destination.c_str());
    return context(install_context, error);
  }
  // The swap is done; a removal that fails now is retried by the next install.
  if (old) (void)remove_dir_all(*old);
  return ok_status();
}

// Moves the complete copy at `staging` to `destination` in one step: a free
// name is taken with RENAME_NOREPLACE (so a racing install of the same name
// is noticed), an existing installation is exchanged with RENAME_EXCHANGE, so
// a reader always finds one complete installation there and racing overwrites
// all succeed, the last one winning. The exchanged-out old installation is
// then removed. Falls back to two renames where the file system supports
// neither flag.
Status put_in_place(const std::string& staging, const std::string& destination,
                    const std::string& skills_dir, const std::string& name, bool overwrite,
                    const std::string& install_context) {
  const char* from = staging.c_str();
  const char* to = destination.c_str();
  // Each round fails only when another install changes the destination
  // between the two calls; a few rounds are plenty.
  for (int round = 0; round < 16; ++round) {
    int err = renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0 ? 0 : errno;
    if (err == 0) return ok_status();
    if (err == EEXIST && !overwrite) return Error("installed skill already exists: " + destination);
    if (err == EEXIST) {
      err = renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0 ? 0 : errno;
      if (err == 0) {
        // `staging` now names the old installation.
        std::string old = old_name(skills_dir, name);
        (void)remove_dir_all(::rename(from, old.c_str()) == 0 ? old : staging);
        return ok_status();
      }
      if (err == ENOENT) continue;  // removed meanwhile: the name is free again
    }
    if (err == EINVAL || err == ENOSYS) {
      return replace_by_renames(staging, destination, skills_dir, name, overwrite, install_context);
    }
    return context(install_context, os_error(err));
  }
  return context(install_context, os_error(EBUSY));
}

}  // namespace

bool is_staging_name(std::string_view name) {
  return name.substr(0, kStagingPrefix.size()) == kStagingPrefix ||
         name.substr(0, kOldPrefix.size()) == kOldPrefix;
}

Result<std::string> default_skills_dir(const Environment& env) {
  if (env.skills_dir) return *env.skills_dir;
  if (env.home) return join_path(join_path(*env.home, ".dovek"), "skills");
  return Error("HOME is not set");
}

Status copy_dir_all(const std::string& from, const std::string& to) {
  return TreeCopy(from, to, nullptr).run(/*manifest_last=*/false);
}

Result<bool> same_path(const std::string& a, const std::string& b) {
  if (!stat_path(a) || !stat_path(b)) return false;
  DOVEK_ASSIGN_OR_RETURN(std::string ca, canonical_path(a));
  DOVEK_ASSIGN_OR_RETURN(std::string cb, canonical_path(b));
  return ca == cb;
}

Result<SkillArtifact> install_local_skill(const std::string& source, const InstallOptions& options,
                                          const CancelCheck& cancel) {
  DOVEK_ASSIGN_OR_RETURN(SkillArtifact artifact, load_artifact(source));
  const std::string name = options.skill_id ? *options.skill_id : artifact.id;
  DOVEK_TRY(validate_id(name));
  const std::string& skills_dir = options.skills_dir;
  DOVEK_TRY(with_context(create_dir_all(skills_dir), "create " + skills_dir));
  const std::string destination = join_path(skills_dir, name);
  const std::string install_context = "install skill into " + destination;

  if (stat_path(destination)) {
    if (!options.overwrite) return Error("installed skill already exists: " + destination);
    DOVEK_ASSIGN_OR_RETURN(bool same, same_path(source, destination));
    if (same) return artifact;
  }
  remove_leftovers(skills_dir, name);

  // Copy first: the source may lie inside the old installation.
  Result<std::string> staging = make_staging_dir(skills_dir, name);
  if (!staging.ok()) {
    std::string shown = join_path(skills_dir, std::string(kStagingPrefix) + name);
    return context(install_context, context("create " + shown, staging.error()));
  }
  CancelPoll poll(cancel);
  Result<SkillArtifact> installed = stage_copy(source, *staging, poll, install_context);
  Status placed = installed.ok() ? put_in_place(*staging, destination, skills_dir, name,
                                                options.overwrite, install_context)
                                 : Status(installed.error());
  if (!placed.ok()) {
    (void)remove_dir_all(*staging);
    return std::move(placed).error();
  }
  return installed;
}

Result<std::vector<SkillArtifact>> list_installed_skills(const std::string& skills_dir) {
  std::vector<SkillArtifact> out;
  // Only a directory that does not exist holds no skills; one that cannot be
  // examined (no permission, a link loop, a name too long) fails the listing
  // below as "read {dir}" rather than passing for empty.
  struct stat st;
  if (!has_nul(skills_dir) && ::stat(skills_dir.c_str(), &st) != 0 && errno == ENOENT) return out;
  DOVEK_ASSIGN_OR_RETURN(std::vector<std::string> names, list_names(skills_dir));
  for (const std::string& name : names) {
    if (is_staging_name(name)) continue;
    std::string path = join_path(skills_dir, name);
    if (!is_directory(path) || !is_regular_file(join_path(path, "artifact.json"))) continue;
    Result<SkillArtifact> artifact = load_artifact(path);
    if (artifact.ok()) out.push_back(std::move(artifact).value());
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const SkillArtifact& a, const SkillArtifact& b) { return a.id < b.id; });
  return out;
}

}  // namespace dovek::runtime
