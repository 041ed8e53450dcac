// The Catalog: an index of skills by id, the form in which a prompt looks
// skills up.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "domain/skill.h"
#include "store/repository.h"

namespace dovek::skill {

// An ordered index from skill id (bytewise) to skill; each id at most once.
//
// Held as a persistent map keyed by id, so a catalog of a store's listing
// whose records all sit under their own ids is that listing itself (a view:
// no copy, no rebuild), and catalogs copy in O(1). A catalog is a value:
// insert() never changes a map shared with anyone else.
// Thread safety: const access from many threads is safe.
class Catalog {
 public:
  using List = store::Repository<Skill>::List;

  Catalog() = default;  // empty

  // Whether every skill of a listing is held under its own id, so that the
  // listing is an index by id and from_snapshot takes it as it is. O(1).
  static bool keyed_by_id(const List& skills) { return skills.marked() == 0; }

  // Inserts the skills in list order with insert(): of several skills with
  // the same id the first one is kept.
  static Catalog from_skills(std::vector<Skill> skills);

  // The catalog of a repository listing. When every skill is listed under its
  // own id (as save_skill stores them) the catalog is a view of the listing;
  // otherwise it is from_skills of the records in listing order.
  static Catalog from_snapshot(List skills);

  // from_snapshot of repository.list(); the repository's error is returned
  // unchanged.
  [[nodiscard]] static Result<Catalog> from_repository(const store::Repository<Skill>& repository);

  // Adds `skill` under its id unless the id is present already, in which
  // case the catalog stays unchanged.
  void insert(Skill skill);

  // The skill stored under exactly `id`, or nullptr. The pointer lives as
  // long as this catalog is neither changed nor destroyed.
  const Skill* get(std::string_view id) const { return skills_.find(id); }

  size_t size() const { return skills_.size(); }
  bool empty() const { return skills_.empty(); }
  // Skills in ascending id order (iterating yields skills).
  const List& skills() const { return skills_; }

 private:
  explicit Catalog(List skills) : skills_(std::move(skills)) {}
  List skills_;  // keyed by id: every key is its skill's id
};

}  // namespace dovek::skill
