#include "domain/catalog.h"

#include <algorithm>
#include <string>
#include <utility>

namespace dovek::skill {
namespace {

bool id_less(const Skill& a, const Skill& b) { return a.id() < b.id(); }

}  // namespace

Catalog Catalog::from_skills(std::vector<Skill> skills) {
  // Equivalent to inserting one by one: a stable sort keeps list order among
  // equal ids, and the first of each run is kept.
  std::stable_sort(skills.begin(), skills.end(), id_less);
  std::vector<std::pair<std::string, Skill>> pairs;
  pairs.reserve(skills.size());
  for (Skill& s : skills) {
    if (!pairs.empty() && pairs.back().first == s.id()) continue;
    pairs.emplace_back(s.id(), std::move(s));
  }
  return Catalog(List::from_sorted(std::move(pairs)));
}

Catalog Catalog::from_snapshot(List skills) {
  if (keyed_by_id(skills)) return Catalog(std::move(skills));
  return from_skills(skills.to_vector());
}

Result<Catalog> Catalog::from_repository(const store::Repository<Skill>& repository) {
  DOVEK_ASSIGN_OR_RETURN(List skills, repository.list());
  return from_snapshot(std::move(skills));
}

void Catalog::insert(Skill skill) {
  if (skills_.find(skill.id()) != nullptr) return;
  // A map shared with other catalogs or a store listing is copied along the
  // changed path only.
  std::string id = skill.id();
  skills_.put(id, std::move(skill));
}

}  // namespace dovek::skill
