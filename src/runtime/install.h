// Installing skills into a skills directory and listing what is installed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "runtime/artifact.h"
#include "runtime/environment.h"

namespace dovek::runtime {

struct InstallOptions {
  std::string skills_dir;
  std::optional<std::string> skill_id;  // absent: the manifest's id
  bool overwrite = false;
};

// DOVEK_SKILLS_DIR when set (even empty), else HOME/.dovek/skills, else
// "HOME is not set". Reads only the captured environment.
[[nodiscard]] Result<std::string> default_skills_dir(const Environment& env);

// Copies `source` (an artifact root) to skills_dir/name. The copy is made
// under a staging name beginning with '.', its "artifact.json" last, and
// renamed into place only when complete: onto a free name with
// RENAME_NOREPLACE, or exchanged with the old installation in one step
// (RENAME_EXCHANGE), which is removed afterwards; only a file system that
// supports neither sees two renames. Readers therefore always find one
// complete installation, and concurrent overwrites of one name all succeed.
// A failed or cancelled install leaves the previous installation (or nothing)
// and no partial copy. `cancel` is asked about every 50 ms during the copy
// and once before the swap; cancellation fails with kCancelledMessage.
// Returns the artifact this call installed (read from its own copy).
[[nodiscard]] Result<SkillArtifact> install_local_skill(const std::string& source,
                                                        const InstallOptions& options,
                                                        const CancelCheck& cancel = {});

// Every valid installed artifact, sorted by id (bytes, stable). Only a
// directory that does not exist is an empty list; any other failure to open
// or read it is "read {dir}" with the OS error. Entries that cannot be read,
// and staging entries of installs, are skipped.
[[nodiscard]] Result<std::vector<SkillArtifact>> list_installed_skills(
    const std::string& skills_dir);

// Recursive copy, walked iteratively so that depth costs no stack.
// Directories (links to them followed) are copied as directories; a directory
// that is its own ancestor through a link, or the target directory itself met
// inside the source, fails instead of descending forever.
[[nodiscard]] Status copy_dir_all(const std::string& from, const std::string& to);

// Whether two existing paths name the same object; false when either cannot
// be examined, the OS error when canonicalisation fails.
[[nodiscard]] Result<bool> same_path(const std::string& a, const std::string& b);

// Whether a directory entry name is an install's staging or leftover entry.
bool is_staging_name(std::string_view name);

}  // namespace dovek::runtime
