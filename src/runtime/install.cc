#include "runtime/install.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>

#include "runtime/fs.h"

namespace dovek::runtime {

namespace {

// Staging and leftover entries carry names no skill id can have (ids never
// start with '.'), and the skill's name between dots so one name's entries
// are never mistaken for another's.
constexpr std::string_view kStagingPrefix = ".dovek-install.";
constexpr std::string_view kOldPrefix = ".dovek-old.";

struct DirId {
  dev_t dev;
  ino_t ino;
  bool operator==(const DirId&) const = default;
};

// The names in `dir`, in the order the OS lists them. A directory that
// cannot be opened is "read {dir}" with the OS error; a failure while reading
// an entry is the bare OS error.
Result<std::vector<std::string>> list_names(const std::string& dir) {
  if (has_nul(dir)) return context("read " + dir, nul_in_path_error());
  std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
  if (!d) return context("read " + dir, os_error(errno));
  std::vector<std::string> names;
  while (true) {
    errno = 0;
    dirent* entry = readdir(d.get());
    if (entry == nullptr) {
      if (errno != 0) return os_error(errno);
      break;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

Status copy_tree(const std::string& from, const std::string& to, std::vector<DirId>& ancestors,
                 std::optional<DirId>& target_root, bool manifest_last) {
  if (Status s = create_dir_all(to); !s.ok()) return context("create " + to, std::move(s).error());
  if (!target_root) {
    // The directory being written must never be read as part of the source.
    if (auto st = stat_path(to)) target_root = DirId{st->st_dev, st->st_ino};
  }
  DOVEK_ASSIGN_OR_RETURN(std::vector<std::string> names, list_names(from));
  if (manifest_last) {
    // The manifest makes a directory an installed skill: it comes last, so
    // a copy that stops early never looks complete.
    std::stable_partition(names.begin(), names.end(),
                          [](const std::string& n) { return n != "artifact.json"; });
  }
  for (const std::string& name : names) {
    std::string src = join_path(from, name);
    std::string dst = join_path(to, name);
    auto st = stat_path(src);
    if (st && S_ISDIR(st->st_mode)) {
      DirId id{st->st_dev, st->st_ino};
      if (target_root && id == *target_root) {
        return context("copy " + src + " to " + dst,
                       Error("the target directory lies inside the source directory"));
      }
      if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) {
        return context("copy " + src + " to " + dst,
                       Error("symbolic link cycle: the directory contains itself"));
      }
      ancestors.push_back(id);
      DOVEK_TRY(copy_tree(src, dst, ancestors, target_root, false));
      ancestors.pop_back();
      continue;
    }
    if (Status s = copy_file(src, dst); !s.ok()) {
      return context("copy " + src + " to " + dst, std::move(s).error());
    }
  }
  return ok_status();
}

Status copy_dir(const std::string& from, const std::string& to, bool manifest_last) {
  std::vector<DirId> ancestors;
  if (auto st = stat_path(from)) ancestors.push_back(DirId{st->st_dev, st->st_ino});
  std::optional<DirId> target_root;
  return copy_tree(from, to, ancestors, target_root, manifest_last);
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
  return copy_dir(from, to, /*manifest_last=*/false);
}

Result<bool> same_path(const std::string& a, const std::string& b) {
  if (!stat_path(a) || !stat_path(b)) return false;
  DOVEK_ASSIGN_OR_RETURN(std::string ca, canonical_path(a));
  DOVEK_ASSIGN_OR_RETURN(std::string cb, canonical_path(b));
  return ca == cb;
}

Result<SkillArtifact> install_local_skill(const std::string& source,
                                          const InstallOptions& options) {
  DOVEK_ASSIGN_OR_RETURN(SkillArtifact artifact, load_artifact(source));
  const std::string name = options.skill_id ? *options.skill_id : artifact.id;
  DOVEK_TRY(validate_id(name));
  const std::string& skills_dir = options.skills_dir;
  if (Status s = create_dir_all(skills_dir); !s.ok()) {
    return context("create " + skills_dir, std::move(s).error());
  }
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
  if (Status s = copy_dir(source, *staging, /*manifest_last=*/true); !s.ok()) {
    (void)remove_dir_all(*staging);
    return context(install_context, std::move(s).error());
  }

  // Move the old installation aside (any kind of entry, a dangling link too).
  std::optional<std::string> old;
  struct stat lst;
  if (lstat(destination.c_str(), &lst) == 0) {
    if (!options.overwrite) {
      // Appeared while we were copying.
      (void)remove_dir_all(*staging);
      return Error("installed skill already exists: " + destination);
    }
    std::string aside =
        join_path(skills_dir, std::string(kOldPrefix) + name + "." + unique_suffix());
    if (::rename(destination.c_str(), aside.c_str()) == 0) {
      old = std::move(aside);
    } else if (errno != ENOENT) {
      Error error = os_error(errno);
      (void)remove_dir_all(*staging);
      return context("remove " + destination, error);
    }
  }
  if (::rename(staging->c_str(), destination.c_str()) != 0) {
    Error error = os_error(errno);
    if (old) ::rename(old->c_str(), destination.c_str());
    (void)remove_dir_all(*staging);
    return context(install_context, error);
  }
  // The swap is done; a removal that fails now is retried by the next install.
  if (old) (void)remove_dir_all(*old);

  return load_artifact(destination);
}

Result<std::vector<SkillArtifact>> list_installed_skills(const std::string& skills_dir) {
  std::vector<SkillArtifact> out;
  if (!stat_path(skills_dir)) return out;
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
