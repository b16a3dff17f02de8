// Hostile files for the two readers: directories, special files, files nobody may read, invalid
// UTF-8, very large files, YAML alias bombs and deep nesting. Each gives its reader's error (or a
// well-defined robot), promptly and with bounded memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "config_test_support.hpp"
#include "hostile_support.hpp"
#include "kova/retargeting_config.hpp"
#include "kova/robot_wrapper.hpp"
#include "kova/urdf.hpp"

namespace {

namespace fs = std::filesystem;
using kova_config_test::TempDir;

constexpr const char* kValidConfig =
    "retargeting:\n  type: position\n  urdf_path: hand.urdf\n"
    "  target_link_names: [a2]\n  target_link_human_indices: [4]\n";

std::string config_error(const fs::path& path) {
  auto config = kova::RetargetingConfig::load_from_file(path);
  return config ? std::string("(no error)") : config.error();
}

std::string urdf_error(const fs::path& path) {
  auto robot = kova::UrdfRobot::from_file(path);
  return robot ? std::string("(no error)") : robot.error();
}

TEST(HostileFiles, DirectoryAsConfigOrUrdfIsAReadFailure) {
  TempDir dir;
  EXPECT_EQ(config_error(dir.path()), "Failed to read config: Is a directory");
  EXPECT_EQ(urdf_error(dir.path()), "Failed to read URDF: Is a directory");
}

TEST(HostileFiles, ResolvedDirectoryFailsWhenTheUrdfIsRead) {
  TempDir dir;
  fs::create_directories(dir.path() / "hand.urdf");
  auto config = kova_hostile::position_config(dir.path() / "hand.urdf", {"a2"});
  auto built = std::move(config).build();
  ASSERT_FALSE(built);
  EXPECT_EQ(built.error(), "Failed to read URDF: Is a directory");
}

TEST(HostileFiles, MissingPathsAndPathsThroughAFile) {
  TempDir dir;
  const fs::path file = dir.write("plain.txt", "x");
  EXPECT_EQ(config_error(dir.path() / "absent.yml"),
            "Failed to read config: No such file or directory");
  EXPECT_EQ(config_error(file / "inside.yml"), "Failed to read config: Not a directory");
  EXPECT_EQ(urdf_error(file / "inside.urdf"), "Failed to read URDF: Not a directory");
}

TEST(HostileFiles, SymbolicLinkLoopIsAReadFailure) {
  TempDir dir;
  fs::create_symlink(dir.path() / "b", dir.path() / "a");
  fs::create_symlink(dir.path() / "a", dir.path() / "b");
  EXPECT_EQ(config_error(dir.path() / "a"),
            "Failed to read config: Too many levels of symbolic links");
  EXPECT_EQ(urdf_error(dir.path() / "a"), "Failed to read URDF: Too many levels of symbolic links");
}

// A FIFO without a writer would block an ordinary open for ever; the readers see an empty file.
TEST(HostileFiles, FifoWithoutWriterDoesNotHang) {
  TempDir dir;
  const fs::path fifo = dir.path() / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(config_error(fifo), "Missing 'retargeting' key in config");
  EXPECT_TRUE(urdf_error(fifo).starts_with("XML parse error: ")) << urdf_error(fifo);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// A writer that is slower than the reader: the reader waits for it instead of failing with
// "Resource temporarily unavailable", and reads up to the writer's end.
TEST(HostileFiles, FifoWithASlowWriterIsReadToTheEnd) {
  TempDir dir;
  const fs::path fifo = dir.path() / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // does not wait for a reader
  ASSERT_GE(writer, 0);
  const std::string text = kValidConfig;
  const std::string first = text.substr(0, 20);
  ASSERT_EQ(::write(writer, first.data(), first.size()), static_cast<ssize_t>(first.size()));
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string rest = text.substr(20);
    EXPECT_EQ(::write(writer, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    ::close(writer);
  });
  auto config = kova::RetargetingConfig::load_from_file(fifo);
  late.join();
  ASSERT_TRUE(config) << config.error();
  EXPECT_EQ(config->target_link_names, std::vector<std::string>{"a2"});
}

// An endless device is cut off at the size limit instead of exhausting memory.
TEST(HostileFiles, EndlessDeviceIsRefusedAtTheSizeLimit) {
  if (!fs::exists("/dev/zero")) GTEST_SKIP() << "/dev/zero is absent";
  EXPECT_EQ(config_error("/dev/zero"), "Failed to read config: file is larger than 64 MiB");
  EXPECT_EQ(urdf_error("/dev/zero"), "Failed to read URDF: file is larger than 256 MiB");
}

// Permission bits do not stop root, so the read runs in a child process that has given up root.
TEST(HostileFiles, UnreadableFileIsPermissionDenied) {
  TempDir dir;
  const fs::path config = dir.write("secret.yml", kValidConfig);
  const fs::path urdf = dir.write("secret.urdf", kova_hostile::two_finger_urdf());
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(config, fs::perms::none);
  fs::permissions(urdf, fs::perms::none);
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child reports through the pipe only: its exit status may be a tool's (memcheck exits
    // with its error code when the parent had reported anything before the fork).
    ::close(pipe_fds[0]);
    std::string got = "could not drop root privileges";
    if (::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0)) {
      got = config_error(config) + "\n" + urdf_error(urdf);
    }
    [[maybe_unused]] const ssize_t put = ::write(pipe_fds[1], got.data(), got.size());
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string got;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) got.append(buffer, n);
  ::close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (got == "could not drop root privileges") GTEST_SKIP() << got;
  EXPECT_EQ(got,
            "Failed to read config: Permission denied\nFailed to read URDF: Permission denied");
}

TEST(HostileFiles, InvalidUtf8IsAReadFailure) {
  TempDir dir;
  const fs::path config = dir.write("bad.yml", "retargeting:\n  type: \xC3\x28position\n");
  const fs::path urdf = dir.write("bad.urdf", "<robot name=\"\xFF\xFE\"/>");
  EXPECT_EQ(config_error(config), "Failed to read config: stream did not contain valid UTF-8");
  EXPECT_EQ(urdf_error(urdf), "Failed to read URDF: stream did not contain valid UTF-8");
  // Overlong encodings and encoded surrogates are not UTF-8 either.
  EXPECT_EQ(config_error(dir.write("overlong.yml", "a: \xC0\xAF\n")),
            "Failed to read config: stream did not contain valid UTF-8");
  EXPECT_EQ(urdf_error(dir.write("surrogate.urdf", "<robot name=\"\xED\xA0\x80\"/>")),
            "Failed to read URDF: stream did not contain valid UTF-8");
}

TEST(HostileFiles, NulBytesInAUrdfAreAParseError) {
  EXPECT_TRUE(kova::UrdfRobot::from_str(std::string("<robot>\0</robot>", 16))
                  .error()
                  .starts_with("XML parse error: "));
}

TEST(HostileFiles, TensOfMegabytesOfUrdfAreRead) {
  TempDir dir;
  // 2000 links and joints among 24 MB of geometry the reader ignores.
  std::string text = "<robot name=\"big\"><link name=\"l0\"/>";
  const std::string padding =
      "<visual><geometry><mesh filename=\"" + std::string(12000, 'm') + "\"/></geometry></visual>";
  for (int i = 1; i <= 2000; ++i) {
    text += "<link name=\"l" + std::to_string(i) + "\">" + padding + "</link>";
    text += "<joint name=\"j" + std::to_string(i) + "\" type=\"revolute\"><parent link=\"l" +
            std::to_string(i - 1) + "\"/><child link=\"l" + std::to_string(i) + "\"/></joint>";
  }
  text += "</robot>";
  ASSERT_GT(text.size(), std::size_t{20} << 20);
  const fs::path path = dir.write("big.urdf", text);
  auto robot = kova::UrdfRobot::from_file(path);
  ASSERT_TRUE(robot) << robot.error();
  EXPECT_EQ(robot->links.size(), 2001u);
  EXPECT_EQ(robot->joints.size(), 2000u);
  auto wrapper = kova::RobotWrapper::create(std::move(*robot));
  ASSERT_TRUE(wrapper) << wrapper.error();
  EXPECT_EQ(wrapper->dof(), 2000u);
}

TEST(HostileFiles, DeeplyNestedXmlIsReadWithoutRecursion) {
  std::string text = "<robot><link name=\"a\"/><gazebo>";
  for (int i = 0; i < 200000; ++i) text += "<x>";
  for (int i = 0; i < 200000; ++i) text += "</x>";
  text += "</gazebo></robot>";
  auto robot = kova::UrdfRobot::from_str(text);
  ASSERT_TRUE(robot) << robot.error();
  EXPECT_EQ(robot->links.size(), 1u);
}

TEST(HostileFiles, YamlAliasBombIsRefused) {
  TempDir dir;
  std::string text = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int i = 1; i < 12; ++i) {
    const std::string prev = "*a" + std::to_string(i - 1);
    text += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [" + prev;
    for (int k = 1; k < 10; ++k) text += ", " + prev;
    text += "]\n";
  }
  text += kValidConfig;
  const auto start = std::chrono::steady_clock::now();
  const std::string error = config_error(dir.write("bomb.yml", text));
  EXPECT_TRUE(error.starts_with("YAML parse error: ")) << error;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(HostileFiles, ModestAliasUseIsAccepted) {
  TempDir dir;
  const std::string text =
      "names: &names [a2]\nretargeting:\n  type: position\n  urdf_path: hand.urdf\n"
      "  target_link_names: *names\n  target_link_human_indices: [4]\n";
  auto config = kova::RetargetingConfig::load_from_file(dir.write("alias.yml", text));
  ASSERT_TRUE(config) << config.error();
  EXPECT_EQ(config->target_link_names, std::vector<std::string>{"a2"});
}

TEST(HostileFiles, DeepYamlNestingIsRefused) {
  TempDir dir;
  for (const std::string& open : {std::string("["), std::string("{a: ")}) {
    std::string text;
    for (int i = 0; i < 100000; ++i) text += open;
    const std::string error = config_error(dir.write("deep.yml", text));
    EXPECT_TRUE(error.starts_with("YAML parse error: ")) << error;
  }
  std::string block;
  for (int i = 0; i < 100000; ++i) block += "- ";
  const std::string error = config_error(dir.write("block.yml", block + "x\n"));
  EXPECT_TRUE(error.starts_with("YAML parse error: ")) << error;
}

}  // namespace
