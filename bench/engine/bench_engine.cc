// What one command costs end to end (decode, handle, encode), and that this
// cost depends on what the command touches, not on how much the core holds.
// Everything is measured in one process; the printed ratios compare CPU times
// (the machine may be shared), each the median of three repetitions.
//
//   dispatch/<kind>: dispatch_json of one command of that kind, against
//     json_only/<kind>: json::parse + json::write of the same text with the
//     JSON layer alone (the floor for any command handler).
//   turn_skills/10000 vs /10: a chat turn (one assigned skill, one mention)
//     with 10,000 vs 10 stored skills of 2 KB each (goal: at most 1.2x).
//   turn_history/10000 vs /10: turns 10,001 to 10,256 vs turns 11 to 266 of
//     one session (goal: at most 1.2x).
//   save_skill/{10000,100000} vs /10: save_skill alone, alternately
//     overwriting a stored skill and adding a new one (goal: at most 1.2x).
//   save_turn/{10000,100000} vs /10: a save_skill as above, then a chat turn
//     that lists the skills again (goal: at most 1.2x).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/core.h"
#include "engine/dispatch.h"
#include "json/read.h"
#include "json/write.h"

namespace {

using namespace dovek;

// The machine is shared: each figure is the median of a few repetitions.
constexpr int kRepetitions = 3;

std::string skill_text(const std::string& id, size_t content_bytes) {
  return R"({"type":"save_skill","skill":{"id":")" + id + R"(","name":"Skill )" + id +
         R"(","source":"user","read_only":false,"description":"Helps with )" + id +
         R"(.","content":")" + std::string(content_bytes, 'x') +
         R"(","suggested_tools":["edit","search"]}})";
}

void must(Result<std::string> r) {
  if (!r.ok()) {
    std::fprintf(stderr, "command failed: %s\n", r.error().chain().c_str());
    std::abort();
  }
}

// A core holding `skills` skills s0, s1, ... of `content_bytes` each.
std::unique_ptr<engine::Core> core_with_skills(int skills, size_t content_bytes) {
  std::unique_ptr<engine::Core> core = engine::Core::create_default();
  for (int i = 0; i < skills; ++i) {
    std::string id = std::to_string(i);
    id.insert(0, 1, 's');
    must(engine::dispatch_json(*core, skill_text(id, content_bytes)));
  }
  return core;
}

const std::string kTurn =
    R"({"type":"chat_turn","session_id":"bench","message":"Please help, @s5 knows how.",)"
    R"("assigned_skills":["s3"]})";

// One command of each kind, as a caller would send it.
const std::vector<std::pair<std::string, std::string>>& commands() {
  static const auto* list = new std::vector<std::pair<std::string, std::string>>{
      {"save_skill", skill_text("s1", 200)},
      {"save_profile",
       R"({"type":"save_profile","profile":{"provider":{"id":"openai"},"secret":{"key":"OPENAI_KEY"}}})"},
      {"switch_model",
       R"({"type":"switch_model","model":{"provider":{"id":"openai"},"id":"gpt-5.5"}})"},
      {"chat_turn", kTurn},
      {"start_run",
       R"({"type":"start_run","task":{"id":"t1","title":"Write the report","input":"q3"},)"
       R"("run_id":"r1","session_id":"bench"})"},
      {"run_task",
       R"({"type":"run_task","run_id":"r1","task":{"id":"t1","title":"Write the report"},)"
       R"("message":"Use @s5 for the figures.","assigned_skills":["s3"]})"},
      {"call_tool",
       R"({"type":"call_tool","call":{"id":"c1","name":"search",)"
       R"("input":{"query":"quarterly figures","limit":10,"filters":{"year":2024,"draft":false}}}})"},
  };
  return *list;
}

// Every 256 iterations, puts the session back to `saved` outside the timed
// region, so the turns measured stay within 256 turns of the intended one
// (and memory stays bounded). Not every iteration: pausing the timers costs
// clock reads that would leak into short measurements.
void restore_session(benchmark::State& state, engine::Core& core, const chat::Session& saved) {
  if (state.iterations() % 256 != 0) return;
  state.PauseTiming();
  if (!core.stores.sessions->put(saved.id, saved).ok()) state.SkipWithError("put failed");
  state.ResumeTiming();
}

void dispatch(benchmark::State& state, const std::string& text) {
  std::unique_ptr<engine::Core> core = core_with_skills(10, 200);
  const chat::Session empty = chat::Session::create("bench");
  for (auto _ : state) {
    Result<std::string> out = engine::dispatch_json(*core, text);
    benchmark::DoNotOptimize(out);
    restore_session(state, *core, empty);
  }
}

void json_only(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    Result<json::Value> v = json::parse(text);
    std::string out = json::write(*v);
    benchmark::DoNotOptimize(out);
  }
}

void turn_skills(benchmark::State& state) {
  std::unique_ptr<engine::Core> core = core_with_skills(static_cast<int>(state.range(0)), 2048);
  const chat::Session empty = chat::Session::create("bench");
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine::dispatch_json(*core, kTurn));
    restore_session(state, *core, empty);
  }
}
BENCHMARK(turn_skills)->Arg(10)->Arg(10000)->Repetitions(kRepetitions);

void turn_history(benchmark::State& state) {
  std::unique_ptr<engine::Core> core = core_with_skills(10, 200);
  for (int64_t i = 0; i < state.range(0); ++i) must(engine::dispatch_json(*core, kTurn));
  const chat::Session saved = core->stores.sessions->get("bench")->value();
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine::dispatch_json(*core, kTurn));
    restore_session(state, *core, saved);
  }
}
BENCHMARK(turn_history)->Arg(10)->Arg(10000)->Repetitions(kRepetitions);

// Cores holding 10, 10,000 or 100,000 skills of 200 bytes, built once per
// process: setting up 100,000 skills per benchmark run would dominate the run.
engine::Core& shared_core(int skills) {
  static auto* cores = new std::map<int, std::unique_ptr<engine::Core>>();
  std::unique_ptr<engine::Core>& core = (*cores)[skills];
  if (!core) core = core_with_skills(skills, 200);
  return *core;
}

// The saves one cycle of kSaveCycle iterations sends: even slots overwrite
// stored skills spread over the whole key range, odd slots add new ones
// (n0, n1, ...), which the end of the cycle removes again.
constexpr int kSaveCycle = 256;

struct SaveCycle {
  std::vector<std::string> texts;
  std::vector<std::string> added;
};

SaveCycle save_cycle(int skills) {
  SaveCycle cycle;
  for (int i = 0; i < kSaveCycle; ++i) {
    // (Appending rather than "s" + to_string: g++ 12 warns falsely there.)
    std::string id(1, i % 2 == 0 ? 's' : 'n');
    id += std::to_string(i % 2 == 0 ? static_cast<int64_t>(i) * skills / kSaveCycle : i);
    if (i % 2 == 1) cycle.added.push_back(id);
    cycle.texts.push_back(skill_text(id, 200));
  }
  return cycle;
}

// Removes the added skills and puts the session back to `session` (when
// given), so each cycle starts from the same state.
void reset_cycle(benchmark::State& state, engine::Core& core, const SaveCycle& cycle,
                 const chat::Session* session) {
  for (const std::string& id : cycle.added) {
    if (!core.stores.skills->remove(id).ok()) state.SkipWithError("remove failed");
  }
  if (session != nullptr && !core.stores.sessions->put(session->id, *session).ok()) {
    state.SkipWithError("put failed");
  }
}

// reset_cycle at the end of each cycle, outside the timed region.
void end_cycle(benchmark::State& state, engine::Core& core, const SaveCycle& cycle,
               const chat::Session* session) {
  state.PauseTiming();
  reset_cycle(state, core, cycle, session);
  state.ResumeTiming();
}

void save_skill(benchmark::State& state) {
  engine::Core& core = shared_core(static_cast<int>(state.range(0)));
  const SaveCycle cycle = save_cycle(static_cast<int>(state.range(0)));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine::dispatch_json(core, cycle.texts[i]));
    if (++i == cycle.texts.size()) {
      i = 0;
      end_cycle(state, core, cycle, nullptr);
    }
  }
  reset_cycle(state, core, cycle, nullptr);
}
BENCHMARK(save_skill)->Arg(10)->Arg(10000)->Arg(100000)->Repetitions(kRepetitions);

void save_turn(benchmark::State& state) {
  engine::Core& core = shared_core(static_cast<int>(state.range(0)));
  const SaveCycle cycle = save_cycle(static_cast<int>(state.range(0)));
  const chat::Session empty = chat::Session::create("bench");
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine::dispatch_json(core, cycle.texts[i]));
    benchmark::DoNotOptimize(engine::dispatch_json(core, kTurn));
    if (++i == cycle.texts.size()) {
      i = 0;
      end_cycle(state, core, cycle, &empty);
    }
  }
  reset_cycle(state, core, cycle, &empty);
}
BENCHMARK(save_turn)->Arg(10)->Arg(10000)->Arg(100000)->Repetitions(kRepetitions);

// Keeps each run's CPU time per iteration so main can print the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string name = base_name(run);
      // The median of the repetitions when there are several, else the one run.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        ns_[name] = run.GetAdjustedCPUTime();
        medians_.insert(name);
      } else if (run.run_type == Run::RT_Iteration && run.iterations > 0 &&
                 medians_.count(name) == 0) {
        ns_[name] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const double* ns(const std::string& name) const {
    auto it = ns_.find(name);
    return it == ns_.end() ? nullptr : &it->second;
  }
  void print_ratio(const char* label, const std::string& large, const std::string& small,
                   double goal) const {
    const double* l = ns(large);
    const double* s = ns(small);
    if (l == nullptr || s == nullptr || *s <= 0) return;
    const double ratio = *l / *s;
    std::printf("%-52s %6.2fx  (goal <= %.1fx: %s)\n", label, ratio, goal,
                ratio <= goal ? "met" : "NOT met");
  }

 private:
  // "dispatch/chat_turn", "turn_skills/10": without the repetition suffix.
  static std::string base_name(const Run& run) {
    std::string name = run.run_name.function_name;
    if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
    return name;
  }

  std::map<std::string, double> ns_;
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const auto& [kind, text] : commands()) {
    benchmark::RegisterBenchmark(("dispatch/" + kind).c_str(), dispatch, text)
        ->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark(("json_only/" + kind).c_str(), json_only, text)
        ->Repetitions(kRepetitions);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\ndispatch_json per command kind, against parse + write of the same text:\n");
  std::printf("%-14s %12s %12s %10s\n", "command", "dispatch us", "json us", "multiple");
  for (const auto& [kind, text] : commands()) {
    const double* d = reporter.ns("dispatch/" + kind);
    const double* j = reporter.ns("json_only/" + kind);
    if (d == nullptr || j == nullptr || *j <= 0) continue;
    std::printf("%-14s %12.2f %12.2f %9.2fx\n", kind.c_str(), *d / 1000, *j / 1000, *d / *j);
  }
  std::printf("\nscaling, measured in this run:\n");
  reporter.print_ratio("chat turn, 10,000 vs 10 stored skills of 2 KB", "turn_skills/10000",
                       "turn_skills/10", 1.2);
  reporter.print_ratio("chat turn, turn ~10,000 vs turn ~10 of one session", "turn_history/10000",
                       "turn_history/10", 1.2);
  reporter.print_ratio("save_skill, 10,000 vs 10 stored skills", "save_skill/10000",
                       "save_skill/10", 1.2);
  reporter.print_ratio("save_skill, 100,000 vs 10 stored skills", "save_skill/100000",
                       "save_skill/10", 1.2);
  reporter.print_ratio("save_skill + chat turn, 10,000 vs 10 stored skills", "save_turn/10000",
                       "save_turn/10", 1.2);
  reporter.print_ratio("save_skill + chat turn, 100,000 vs 10 stored skills", "save_turn/100000",
                       "save_turn/10", 1.2);
  benchmark::Shutdown();
  return 0;
}
