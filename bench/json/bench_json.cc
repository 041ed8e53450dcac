// Read + write round trip of a ~1 KB and a ~100 KB document: ours (text ->
// Value -> text) beside RapidJSON's Document parse (UTF-8 validated, full
// precision numbers) plus its Writer. Prints MB/s and the time ratio
// ours / RapidJSON, medians of interleaved repetitions; the goal is a ratio
// of at most 1.0.
#include <benchmark/benchmark.h>
#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2  // the baseline at its best
#endif
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "json/read.h"
#include "json/write.h"

namespace {

using dovek::json::parse;
using dovek::json::write;

// Deterministic pseudo-random numbers so that every run measures the same text.
class Rng {
 public:
  uint64_t next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return state_ >> 33;
  }
  uint64_t below(uint64_t n) { return next() % n; }

 private:
  uint64_t state_ = 42;
};

// A run-log style document: records with ids, statuses, numbers of each
// kind, escaped and non-ASCII text, nested inputs and event lists.
std::string make_document(size_t target_size) {
  static const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "search",
                                       "write", "café", "東京",  "naïve", "resume"};
  static const char* const kStatus[] = {"queued", "running", "completed", "failed"};
  Rng rng;
  auto words = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
      if (i) s += ' ';
      s += kWords[rng.below(10)];
    }
    return s;
  };
  dovek::json::Writer w(target_size + 1024);
  w.begin_object();
  w.key(dovek::json::kKey<"items">);
  w.begin_array();
  size_t count = 0;
  while (w.text().size() < target_size - 200) {
    ++count;
    w.begin_object();
    w.key(dovek::json::kKey<"id">);
    w.string("run-" + std::to_string(rng.below(100000)));
    w.key(dovek::json::kKey<"session_id">);
    w.string("s-" + std::to_string(rng.below(100)));
    w.key(dovek::json::kKey<"status">);
    w.string(kStatus[rng.below(4)]);
    w.key(dovek::json::kKey<"attempt">);
    w.u64(rng.below(10));
    w.key(dovek::json::kKey<"delta">);
    w.i64(-static_cast<int64_t>(rng.below(1000000)));
    w.key(dovek::json::kKey<"score">);
    w.f64(static_cast<double>(rng.below(1000000)) / 1e6);
    w.key(dovek::json::kKey<"elapsed_ms">);
    w.f64(static_cast<double>(rng.below(1u << 30)) / 7.0);
    w.key(dovek::json::kKey<"ok">);
    w.boolean(rng.below(2) == 0);
    w.key(dovek::json::kKey<"error">);
    w.null();
    w.key(dovek::json::kKey<"tags">);
    w.begin_array();
    for (uint64_t i = 0, n = rng.below(4); i < n; ++i) w.string(kWords[rng.below(10)]);
    w.end_array();
    w.key(dovek::json::kKey<"input">);
    w.begin_object();
    w.key(dovek::json::kKey<"query">);
    w.string("find the \"" + words(2) + "\"\tnear " + words(3) + "\n");
    w.key(dovek::json::kKey<"limit">);
    w.u64(rng.below(50));
    w.key(dovek::json::kKey<"filters">);
    w.begin_object();
    w.key(dovek::json::kKey<"min">);
    w.f64(-static_cast<double>(rng.below(100)) * 0.25);
    w.key(dovek::json::kKey<"max">);
    w.f64(1e-3 * static_cast<double>(rng.below(1000)));
    w.key(dovek::json::kKey<"path">);
    w.string("/srv/skills/" + std::string(kWords[rng.below(10)]) + "/artifact.json");
    w.end_object();
    w.end_object();
    w.key(dovek::json::kKey<"events">);
    w.begin_array();
    for (uint64_t i = 0, n = 1 + rng.below(3); i < n; ++i) {
      w.begin_object();
      w.key(dovek::json::kKey<"type">);
      w.string("text");
      w.key(dovek::json::kKey<"value">);
      w.string(words(8 + static_cast<int>(rng.below(12))));
      w.end_object();
    }
    w.end_array();
    w.end_object();
  }
  w.end_array();
  w.key(dovek::json::kKey<"count">);
  w.u64(count);
  w.key(dovek::json::kKey<"next">);
  w.null();
  w.end_object();
  return w.take();
}

const std::string& document(int64_t kb) {
  static std::map<int64_t, std::string> docs;
  auto it = docs.find(kb);
  if (it == docs.end()) it = docs.emplace(kb, make_document(static_cast<size_t>(kb) * 1024)).first;
  return it->second;
}

// RapidJSON's DOM with the guarantees our reader gives: UTF-8 validated,
// correctly rounded numbers.
constexpr unsigned kRapidJsonFlags =
    rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag;

void BM_Ours(benchmark::State& state) {
  const std::string& text = document(state.range(0));
  for (auto _ : state) {
    dovek::Result<dovek::json::Value> v = parse(text);
    if (!v.ok()) {
      state.SkipWithError(v.error().message().c_str());
      break;
    }
    std::string out = write(*v);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_RapidJson(benchmark::State& state) {
  const std::string& text = document(state.range(0));
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse<kRapidJsonFlags>(text.c_str());
    if (d.HasParseError()) {
      state.SkipWithError("rapidjson parse error");
      break;
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    d.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// The two halves on their own, to see where the time goes.
void BM_OursRead(benchmark::State& state) {
  const std::string& text = document(state.range(0));
  for (auto _ : state) {
    dovek::Result<dovek::json::Value> v = parse(text);
    benchmark::DoNotOptimize(v.ok());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_OursTapeRead(benchmark::State& state) {
  const std::string& text = document(state.range(0));
  for (auto _ : state) {
    dovek::Result<dovek::json::Tape> t = dovek::json::Tape::read(text);
    benchmark::DoNotOptimize(t.ok());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_OursWrite(benchmark::State& state) {
  const std::string& text = document(state.range(0));
  const dovek::json::Value v = *parse(text);
  for (auto _ : state) {
    std::string out = write(v);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_RapidJsonRead(benchmark::State& state) {
  const std::string& text = document(state.range(0));
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse<kRapidJsonFlags>(text.c_str());
    benchmark::DoNotOptimize(d.HasParseError());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_RapidJsonWrite(benchmark::State& state) {
  const std::string& text = document(state.range(0));
  rapidjson::Document d;
  d.Parse<kRapidJsonFlags>(text.c_str());
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    d.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_Ours)->Arg(1)->Arg(100);
BENCHMARK(BM_RapidJson)->Arg(1)->Arg(100);
BENCHMARK(BM_OursRead)->Arg(1)->Arg(100);
BENCHMARK(BM_RapidJsonRead)->Arg(1)->Arg(100);
BENCHMARK(BM_OursWrite)->Arg(1)->Arg(100);
BENCHMARK(BM_RapidJsonWrite)->Arg(1)->Arg(100);
BENCHMARK(BM_OursTapeRead)->Arg(1)->Arg(100);

// Shows the aggregates of repeated runs (every run when not repeated) and
// remembers the CPU seconds per iteration of each repetition of each case
// (CPU rather than wall time: the machine is shared while we measure).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Aggregate || r.repetitions <= 1) shown.push_back(r);
      if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
      seconds_[r.run_name.str()].push_back(r.cpu_accumulated_time /
                                           static_cast<double>(r.iterations));
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
  }
  // The median over the repetitions, or 0 when the case did not run.
  double seconds(const std::string& name) const {
    auto it = seconds_.find(name);
    if (it == seconds_.end()) return 0;
    std::vector<double> s = it->second;
    std::sort(s.begin(), s.end());
    const size_t n = s.size();
    return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
  }

 private:
  std::map<std::string, std::vector<double>> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  // Ours and RapidJSON's cases are compared as ratios, so they run in random
  // order, repetition by repetition, rather than each case in one block:
  // drift in the machine's speed then hits both sides of a ratio alike, and
  // the ratios use the median repetition. Flags given on the command line
  // come later and win.
  std::vector<char*> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=9";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  char min_time[] = "--benchmark_min_time=0.2";
  args.insert(args.begin() + 1, {repetitions, interleave, min_time});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf(
      "\nJSON, CPU time per document; ratio = ours / RapidJSON (goal for the round trip: <= "
      "1.0)\n");
  std::printf("%-28s %10s %12s %16s %8s\n", "", "bytes", "ours MB/s", "rapidjson MB/s", "ratio");
  const struct {
    const char* label;
    const char* ours;
    const char* base;
  } rows[] = {
      {"round trip", "BM_Ours", "BM_RapidJson"},  // the goal
      {"read (to Value / DOM)", "BM_OursRead", "BM_RapidJsonRead"},
      {"read (tape / DOM)", "BM_OursTapeRead", "BM_RapidJsonRead"},
      {"write", "BM_OursWrite", "BM_RapidJsonWrite"},
  };
  for (int64_t kb : {1, 100}) {
    std::string arg = "/";  // (not "/" + ...: g++ 12 warns falsely on that at -O3)
    arg += std::to_string(kb);
    for (const auto& row : rows) {
      const double ours = reporter.seconds(row.ours + arg);
      const double base = reporter.seconds(row.base + arg);
      if (ours <= 0 || base <= 0) continue;
      const double mb = static_cast<double>(document(kb).size()) / 1e6;
      std::printf("%-22s %5s %10zu %12.1f %16.1f %8.2f\n", row.label,
                  (std::to_string(kb) + "KB").c_str(), document(kb).size(), mb / ours, mb / base,
                  ours / base);
    }
  }
  return 0;
}
