// Records are values that are cheap to copy: what a copy or an append costs
// must not depend on how much the record holds. Each pair below runs the same
// operation on a large and a small record in one process and prints the
// ratio large / small (CPU time: the machine may be shared) beside its goal.
//
//   session_append/10000 vs /10: get + Session::push + put on a MemoryStore
//     holding a session of 10,000 vs 10 messages (goal: at most 1.2x)
//   skill_copy/102400 vs /100: copying a skill whose content is 100 KB vs
//     100 bytes (goal: at most 2x)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "domain/chat.h"
#include "domain/skill.h"
#include "store/memory_store.h"

namespace {

using namespace dovek;

void session_append(benchmark::State& state) {
  const int64_t history = state.range(0);
  auto sessions = store::MemoryStore<chat::Session>::shared();
  chat::Session seed = chat::Session::create("s");
  for (int64_t i = 0; i < history; ++i) {
    seed.push({"message number " + std::to_string(i) + " with some text in it", chat::Role::User});
  }
  if (!sessions->put("s", seed).ok()) state.SkipWithError("put failed");
  seed = chat::Session();
  const chat::Message message{"one more message", chat::Role::User};
  for (auto _ : state) {
    chat::Session session = sessions->get("s")->value();
    session.push(message);
    benchmark::DoNotOptimize(sessions->put("s", std::move(session)));
  }
}
BENCHMARK(session_append)->Arg(10)->Arg(10000);

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

// Keeps each run's time per iteration so main can print the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        ns_[run.benchmark_name()] = run.GetAdjustedCPUTime();
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
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nratios, large record / small record, measured in this run:\n");
  reporter.print_ratio("get+push+put, session of 10,000 vs 10 messages", "session_append/10000",
                       "session_append/10", 1.2);
  reporter.print_ratio("copy skill, 100 KB vs 100 B content", "skill_copy/102400",
                       "skill_copy/100", 2.0);
  benchmark::Shutdown();
  return 0;
}
