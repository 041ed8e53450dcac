// Records are values that are cheap to copy: what a copy or an append costs
// must not depend on how much the record holds. Each pair below runs the same
// operation on a large and a small record in one process and prints the
// ratio large / small beside its goal. On a busy machine, run with
// --benchmark_repetitions=5 to compare medians.
//
//   session_append/10000 vs /10: get + Session::push + put on a MemoryStore
//     holding a session of 10,000 vs 10 messages (goal: at most 1.2x)
//   skill_copy/102400 vs /100: copying a skill whose content is 100 KB vs
//     100 bytes (goal: at most 2x)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "domain/chat.h"
#include "domain/skill.h"
#include "store/memory_store.h"

namespace {

using namespace dovek;

// Every append makes the stored history longer, so the store is put back to
// the starting session after each batch of kBatch appends (outside the
// measured time); otherwise both sizes would drift to millions of messages.
void session_append(benchmark::State& state) {
  constexpr int kBatch = 16;
  const int64_t history = state.range(0);
  auto sessions = store::MemoryStore<chat::Session>::shared();
  chat::Session seed = chat::Session::create("s");
  for (int64_t i = 0; i < history; ++i) {
    seed.push({"message number " + std::to_string(i) + " with some text in it", chat::Role::kUser});
  }
  if (!sessions->put("s", seed).ok()) state.SkipWithError("put failed");
  const chat::Message message{"one more message", chat::Role::kUser};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < kBatch; ++k) {
      chat::Session session = sessions->get("s")->value();
      session.push(message);
      benchmark::DoNotOptimize(sessions->put("s", std::move(session)));
    }
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count() / kBatch);
    benchmark::DoNotOptimize(sessions->put("s", seed));
  }
}
BENCHMARK(session_append)->Arg(10)->Arg(10000)->UseManualTime();

void skill_copy(benchmark::State& state) {
  skill::SkillFields f;
  f.id = "writer";
  f.name = "Writer";
  f.description = "Writes prose";
  f.suggested_tools = {"edit", "search"};
  f.content = std::string(static_cast<size_t>(state.range(0)), 'x');
  const skill::Skill original(std::move(f));
  for (auto _ : state) {
    skill::Skill copy = original;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(skill_copy)->Arg(100)->Arg(100 * 1024);

// Keeps each benchmark's time per operation (wall clock; the measured part
// only, for the manually timed session benchmark) so main can print the
// ratios: the median when run with repetitions, else the (last) run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        ns_[name] = run.GetAdjustedRealTime();
        median_[name] = true;
      } else if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !median_[name]) {
        ns_[name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratio(const char* label, const std::string& large, const std::string& small,
                   double goal) const {
    auto l = ns_.find(large), s = ns_.find(small);
    if (l == ns_.end() || s == ns_.end() || s->second <= 0) return;
    const double ratio = l->second / s->second;
    std::printf("%-52s %6.2fx  (goal <= %.1fx: %s)\n", label, ratio, goal,
                ratio <= goal ? "met" : "NOT met");
  }

 private:
  std::map<std::string, double> ns_;
  std::map<std::string, bool> median_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nratios, large record / small record, measured in this run:\n");
  reporter.print_ratio("get+push+put, session of 10,000 vs 10 messages",
                       "session_append/10000/manual_time", "session_append/10/manual_time", 1.2);
  reporter.print_ratio("copy skill, 100 KB vs 100 B content", "skill_copy/102400", "skill_copy/100",
                       2.0);
  benchmark::Shutdown();
  return 0;
}
