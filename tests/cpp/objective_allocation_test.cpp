// One objective evaluation must not touch the heap: the solver runs it hundreds of times per
// frame. This test binary interposes glibc's malloc family (behind operator new and Eigen's
// allocations alike) to count allocations in a window. Sanitizer builds bring their own
// allocator, so the counting tests are skipped there.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <vector>

#include "kova/dexpilot_optimizer.hpp"
#include "kova/position_optimizer.hpp"
#include "kova/vector_optimizer.hpp"
#include "objective_probe.hpp"
#include "optimizer_test_support.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define KOVA_COUNT_ALLOCATIONS 0
#else
#define KOVA_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
void note_allocation() {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
}
}  // namespace

#if KOVA_COUNT_ALLOCATIONS
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);

void* malloc(std::size_t size) {
  note_allocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  note_allocation();
  return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
  note_allocation();
  return __libc_realloc(p, size);
}
}
#endif

namespace {

using kova::ObjectiveProbe;
using Strings = std::vector<std::string>;
const Strings kJoints{"j1", "j2", "j3", "j4", "j6"};

template <class Opt>
long allocations_per_evaluation(Opt& optimizer, const std::vector<double>& ref) {
  optimizer.set_adaptor(kova_test::mimic_adaptor(kova_test::probe_hand(), kJoints));
  const std::vector<double> last{0.1, 0.2};
  const std::vector<double> fixed{0.3};
  ObjectiveProbe::prepare(optimizer, ref, fixed, last);
  const std::vector<double> x{0.3, -0.4, 0.01, 0.5, -0.3};
  std::vector<double> gradient(x.size());
  g_allocations = 0;
  g_counting = true;
  for (int i = 0; i < 10; ++i) {
    ObjectiveProbe::value(optimizer, x);
    ObjectiveProbe::value_and_gradient(optimizer, x, gradient);  // fits the buffer's capacity
  }
  g_counting = false;
  return g_allocations.load();
}

TEST(ObjectiveAllocation, NoHeapAllocationPerEvaluation) {
  if (!KOVA_COUNT_ALLOCATIONS) GTEST_SKIP() << "sanitizer build: allocator not interposed";
  kova::PositionOptimizer position(kova_test::probe_hand(), kJoints, {"l3", "tip_b", "l3"}, 0.02,
                                   0.1);
  EXPECT_EQ(allocations_per_evaluation(position, std::vector<double>(9, 0.05)), 0);

  kova::VectorOptimizer vector(kova_test::probe_hand(), kJoints, {"base", "base", "l3"},
                               {"l3", "tip_b", "tip_c"}, 0.02, 0.1, 1.2);
  EXPECT_EQ(allocations_per_evaluation(vector, std::vector<double>(9, 0.05)), 0);

  kova::DexPilotOptimizer dexpilot(kova_test::probe_hand(), kJoints, {"l3", "tip_b", "tip_c"},
                                   "base", 0.03, 0.1, 0.03, 0.05, 1e-4, 0.03, 1.0);
  EXPECT_EQ(allocations_per_evaluation(dexpilot, std::vector<double>(18, 0.01)), 0);
}

TEST(ObjectiveAllocation, CounterSeesAllocations) {
  if (!KOVA_COUNT_ALLOCATIONS) GTEST_SKIP() << "sanitizer build: allocator not interposed";
  g_allocations = 0;
  g_counting = true;
  std::vector<double> buffer(100, 1.0);
  const Eigen::MatrixXd matrix = Eigen::MatrixXd::Constant(3, 50, 1.0);
  g_counting = false;
  EXPECT_EQ(buffer.size(), 100u);
  EXPECT_EQ(matrix.size(), 150);
  EXPECT_EQ(g_allocations.load(), 2);
}

}  // namespace
