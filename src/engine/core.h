// The engine's one stateful object: the repositories, the agent settings
// (selected model) and the tool registry; it carries out commands. Every
// operation is a plain synchronous call that runs to completion; repository
// errors pass through unchanged, with no context added.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "domain/agent.h"
#include "domain/auth.h"
#include "domain/chat.h"
#include "domain/event.h"
#include "domain/model.h"
#include "domain/run.h"
#include "domain/skill.h"
#include "domain/tool.h"
#include "json/tape.h"
#include "protocol/proto.h"
#include "store/repository.h"
#include "store/transactions.h"

namespace dovek::engine {

template <class T>
using RepositoryHandle = std::shared_ptr<store::Repository<T>>;

// The five repositories of a core.
struct CoreStores {
  RepositoryHandle<skill::Skill> skills;
  std::shared_ptr<chat::SessionRepository> sessions;
  RepositoryHandle<run::Task> tasks;
  RepositoryHandle<run::Run> runs;
  RepositoryHandle<auth::Profile> profiles;  // keyed by the provider's id

  // Durable stores only (both null in memory): where the selected model is
  // kept (under model::kSelectedKey), since another process may switch it, and
  // the transactions that make each command's repository calls atomic.
  RepositoryHandle<model::Model> model;
  std::shared_ptr<store::Transactions> transactions;

  // Five new, empty in-memory stores, created in the order above.
  static CoreStores memory();
};

// Thread safety: none of its own. The binding serialises every command on a
// core with the core's lock; the repositories carry their own locks.
class Core {
 public:
  // The constructor operation `Core::new`: `model` selected, empty
  // registry, stores = CoreStores::memory().
  static std::unique_ptr<Core> create(model::Model model);
  // create() with model::default_model(), as every core starts.
  static std::unique_ptr<Core> create_default();

  // Replaces the selected model. Touches no repository.
  void set_model(model::Model model);
  // set_model, then on a durable core stores the model for every later
  // command (of any process).
  [[nodiscard]] Status switch_model(const model::Model& model);
  // Durable cores: reads the selected model into `agent` (inside the
  // command's transaction). The default model when none is stored.
  [[nodiscard]] Status load_model();
  // Durable cores: in one transaction, removes every record of the five
  // repositories and stores the default model, as a fresh core has them.
  [[nodiscard]] Status erase_records();

  // Every stored skill (one `list`) as a catalog. When every skill is stored
  // under its own id the catalog is a view of the listing, O(1) whatever the
  // store holds. Otherwise a catalog is built, and reused while the store
  // hands out the same listing.
  [[nodiscard]] Result<skill::Catalog> skill_catalog();

  [[nodiscard]] Status save_skill(skill::Skill skill);
  [[nodiscard]] Status save_profile(auth::Profile profile);

  // Registers a tool for embedders of the core (no command adds tools),
  // replacing any tool of that name.
  void register_tool(std::string name, std::shared_ptr<tool::Tool> tool);

  // Carries out one command; the command is consumed. REQUIRES: not a
  // call_tool command: those are answered by a DetachedToolCall
  // (engine/tool_call.h), outside the core's lock and its transaction.
  [[nodiscard]] Result<protocol::CoreResponse> handle(protocol::CoreCommand&& command);

  // The flows behind the commands.
  [[nodiscard]] Result<std::vector<event::Event>> chat_turn(std::string_view session_id,
                                                            chat::TurnRequest request);
  [[nodiscard]] Result<run::Run> start_run(run::Task task, std::string run_id,
                                           std::string session_id);
  // start_run writing the run into `r`, a default Run (a response's, say),
  // instead of returning it: a run is a record of eleven fields, and a task
  // of ten, costly to move.
  [[nodiscard]] Status start_run_into(run::Run& r, run::Task&& task, std::string run_id,
                                      std::string session_id);
  [[nodiscard]] Result<std::vector<event::Event>> run_task(std::string_view run_id,
                                                           run::TaskRequest request);

  // A token tape that dispatch_json reads every command into, so that its
  // buffers are reused from one command to the next instead of allocated
  // anew. Only meaningful during a call; holds nothing a command keeps.
  json::Tape& command_scratch() { return command_scratch_; }

  agent::Agent agent;
  tool::Registry registry;
  CoreStores stores;

 private:
  explicit Core(model::Model model);
  // An executor for one request, viewing the agent and the registry.
  agent::Exec make_exec() const;
  // Before make_exec(): a durable core's selected model, read in the
  // command's transaction (load_model); nothing for an in-memory core.
  [[nodiscard]] Status load_model_for_exec();

  // Memo of the last built catalog and the listing it was built from; empty
  // while catalogs are views. (Holding a listing between commands makes every
  // save copy a path of the store's tree, so only the rare built case does.)
  std::optional<skill::Catalog::List> built_source_;
  skill::Catalog built_;

  json::Tape command_scratch_;
};

}  // namespace dovek::engine
