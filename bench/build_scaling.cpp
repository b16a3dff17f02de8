// Build time and memory of the core on generated robots of n joints: a chain (each link hangs
// from the previous one) or a star (every link hangs from the root), optionally with every second
// joint mimicking the joint before it. Times the URDF reader, the robot wrapper and a whole
// configuration build (file read, parse, wrapper, position optimiser, mimic coupling, bounds),
// then prints the process's peak resident memory. One robot per run, so that the peak belongs
// to that size:
//
//   kova_build_scaling chain|star N [--mimic]
//
// bench/build_scaling.sh runs the sizes of the table in RELIABILITY.md.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "kova/retargeting_config.hpp"
#include "kova/robot_wrapper.hpp"
#include "kova/urdf.hpp"

namespace {

std::string generate(bool star, std::size_t joints, bool mimic) {
  std::string text = "<robot name=\"generated\">\n<link name=\"l0\"/>\n";
  text.reserve(joints * 200);
  for (std::size_t i = 1; i <= joints; ++i) text += "<link name=\"l" + std::to_string(i) + "\"/>\n";
  for (std::size_t i = 1; i <= joints; ++i) {
    const std::string parent = star ? "l0" : "l" + std::to_string(i - 1);
    text += "<joint name=\"j" + std::to_string(i) + "\" type=\"revolute\"><parent link=\"" +
            parent + "\"/><child link=\"l" + std::to_string(i) +
            "\"/><origin xyz=\"0.01 0 0\" rpy=\"0 0 0.1\"/><axis xyz=\"0 0 1\"/>"
            "<limit lower=\"-1\" upper=\"1\"/>";
    if (mimic && i % 2 == 0) text += "<mimic joint=\"j" + std::to_string(i - 1) + "\"/>";
    text += "</joint>\n";
  }
  return text + "</robot>\n";
}

// Wall and CPU seconds of one phase: the machine may be shared, and CPU time is what the build
// itself costs.
class Stopwatch {
 public:
  Stopwatch() : wall_(std::chrono::steady_clock::now()), cpu_(cpu_seconds()) {}
  std::string text() const {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3f/%.3f",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_).count(),
                  cpu_seconds() - cpu_);
    return buffer;
  }

 private:
  static double cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
  }
  std::chrono::steady_clock::time_point wall_;
  double cpu_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::string_view(argv[1]) != "chain" && std::string_view(argv[1]) != "star")) {
    std::fprintf(stderr, "usage: %s chain|star N [--mimic]\n", argv[0]);
    return 2;
  }
  const bool star = std::string_view(argv[1]) == "star";
  const std::size_t joints = std::strtoull(argv[2], nullptr, 10);
  const bool mimic = argc > 3 && std::string_view(argv[3]) == "--mimic";

  const std::string text = generate(star, joints, mimic);
  const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                     ("kova_build_scaling_" + std::to_string(::getpid()) + ".urdf");
  std::ofstream(file, std::ios::binary) << text;

  Stopwatch watch;
  auto urdf = kova::UrdfRobot::from_str(text);
  const std::string parse = watch.text();
  if (!urdf) {
    std::fprintf(stderr, "parse: %s\n", urdf.error().c_str());
    return 1;
  }
  watch = Stopwatch();
  auto wrapper = kova::RobotWrapper::create(std::move(*urdf));
  const std::string model = watch.text();
  if (!wrapper) {
    std::fprintf(stderr, "wrapper: %s\n", wrapper.error().c_str());
    return 1;
  }
  wrapper = kova::fail(std::string("released"));  // frees the robot before the configuration build

  kova::RetargetingConfig config;
  config.type = kova::RetargetingType::Position;
  config.urdf_path = file.string();
  config.target_link_names = std::vector<std::string>{"l" + std::to_string(joints)};
  config.target_link_human_indices = std::vector<std::uint64_t>{0};
  watch = Stopwatch();
  auto built = std::move(config).build();
  const std::string build = watch.text();
  std::filesystem::remove(file);
  if (!built) {
    std::fprintf(stderr, "build: %s\n", built.error().c_str());
    return 1;
  }

  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  // Seconds as wall/CPU.
  std::printf("%s%s n=%zu urdf_bytes=%zu parse=%s wrapper=%s config_build=%s peak_rss_mib=%.0f\n",
              star ? "star" : "chain", mimic ? "+mimic" : "", joints, text.size(), parse.c_str(),
              model.c_str(), build.c_str(), static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
