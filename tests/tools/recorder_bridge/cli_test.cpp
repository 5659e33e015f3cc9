// The real nimbrel-recorder-bridge binary, run as a process: what it prints where, its exit
// status, and the recording file it leaves behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "bridge_process.hpp"

namespace nimbrel::bridge {
namespace {

using namespace std::chrono_literals;
using testing::ProcessResult;
using testing::run_bridge;

const std::string usage =
    "nimbrel-recorder-bridge \xE2\x80\x94 Live-Capture nach .nbrlrec\n"
    "\n"
    "USAGE:\n"
    "  nimbrel-recorder-bridge --out FILE [--domain N] \\\n"
    "    --topic NAME:TYPE [--topic NAME:TYPE ...] \\\n"
    "    [--duration N(ms|s)]\n"
    "\n"
    "OPTIONS:\n"
    "  --out FILE        Output-Pfad fuer .nbrlrec\n"
    "  --domain N        DDS-Domain-ID (default 0)\n"
    "  --topic NAME:TYPE Topic + Type \xE2\x80\x94 mehrfach erlaubt\n"
    "  --duration X      Stop nach X (ms-default oder Suffix s)\n"
    "\n";

const std::string recording_line = "recording... (Ctrl-C zum stoppen)\n";

std::string banner(std::uint32_t domain, std::size_t topics, const std::string& quoted_path) {
  return "nimbrel-recorder-bridge: domain=" + std::to_string(domain) +
         " topics=" + std::to_string(topics) + " \xE2\x86\x92 " + quoted_path + "\n";
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "bridge-cli-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Replaces "{dir}" in each argument with the temporary directory.
  std::vector<std::string> in_dir(std::vector<std::string> args) const {
    for (auto& arg : args) {
      if (const auto at = arg.find("{dir}"); at != std::string::npos) {
        arg.replace(at, 5, dir_.string());
      }
    }
    return args;
  }

  std::filesystem::path dir_;
};

void expect_exit(const ProcessResult& r, int status) {
  EXPECT_FALSE(r.timed_out);
  EXPECT_TRUE(r.exited) << "killed by signal " << r.signal;
  EXPECT_EQ(r.exit_status, status);
}

struct UsageErrorCase {
  const char* label;
  std::vector<std::string> args;
  std::string message;
};

class CliUsageError : public Cli, public ::testing::WithParamInterface<UsageErrorCase> {};

TEST_P(CliUsageError, MessageOnStderrUsageOnStdoutStatusTwo) {
  const auto result = run_bridge(in_dir(GetParam().args));
  expect_exit(result, 2);
  EXPECT_EQ(result.err, "error: " + GetParam().message + "\n");
  EXPECT_EQ(result.out, usage);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "x.nbrlrec"));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, CliUsageError, ::testing::Values(
    UsageErrorCase{"NoArguments", {}, "--out FILE required"},
    UsageErrorCase{"OnlyOut", {"--out", "{dir}/x.nbrlrec"}, "at least one --topic NAME:TYPE required"},
    UsageErrorCase{"MissingValue", {"--out", "{dir}/x.nbrlrec", "--topic", "A:TA", "--domain"},
                   "missing value for --domain"},
    UsageErrorCase{"UnknownFlag", {"--verbose"}, "unknown flag: --verbose"},
    UsageErrorCase{"TopicWithoutColon", {"--out", "{dir}/x.nbrlrec", "--topic", "Foo"},
                   "topic must be NAME:TYPE, got Foo"},
    UsageErrorCase{"NegativeDomain", {"--out", "{dir}/x.nbrlrec", "--topic", "A:TA", "--domain", "-1"},
                   "domain: invalid digit found in string"},
    UsageErrorCase{"DomainTooLarge",
                   {"--out", "{dir}/x.nbrlrec", "--topic", "A:TA", "--domain", "4294967296"},
                   "domain: number too large to fit in target type"},
    UsageErrorCase{"DomainEmpty", {"--out", "{dir}/x.nbrlrec", "--topic", "A:TA", "--domain", ""},
                   "domain: cannot parse integer from empty string"},
    UsageErrorCase{"DurationMs", {"--out", "{dir}/x.nbrlrec", "--topic", "A:TA", "--duration", "ms"},
                   "ms: cannot parse integer from empty string"},
    UsageErrorCase{"DurationS", {"--out", "{dir}/x.nbrlrec", "--topic", "A:TA", "--duration", "3 s"},
                   "s: invalid digit found in string"},
    UsageErrorCase{"DurationDefault",
                   {"--out", "{dir}/x.nbrlrec", "--topic", "A:TA", "--duration", "99999999999999999999"},
                   "ms-default: number too large to fit in target type"},
    UsageErrorCase{"HelpAfterAnError", {"--verbose", "1", "--help"}, "unknown flag: --verbose"},
    UsageErrorCase{"NonUtf8Argument", {"--out", "{dir}/x\xFF.nbrlrec", "--topic", "A:TA"},
                   "argument 2 is not valid UTF-8"}),
    [](const auto& test) { return std::string(test.param.label); });
// clang-format on

class CliHelp : public Cli, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(CliHelp, UsageOnStdoutStatusZero) {
  const auto result = run_bridge(in_dir(GetParam()));
  expect_exit(result, 0);
  EXPECT_EQ(result.out, usage);
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "x.nbrlrec"));
}

INSTANTIATE_TEST_SUITE_P(Cases, CliHelp,
                         ::testing::Values(std::vector<std::string>{"--help"},
                                           std::vector<std::string>{"-h"},
                                           std::vector<std::string>{"help"},
                                           std::vector<std::string>{"--out", "{dir}/x.nbrlrec",
                                                                    "--topic", "A:TA", "-h",
                                                                    "--verbose"}));

struct CreateFailureCase {
  const char* label;
  std::string path;
  std::string quoted_path;
  std::string reason;
};

class CliCreateFailure : public Cli, public ::testing::WithParamInterface<CreateFailureCase> {};

TEST_P(CliCreateFailure, BannerThenReasonStatusOne) {
  const auto& c = GetParam();
  const auto path = in_dir({c.path}).front();
  const auto quoted_path = in_dir({c.quoted_path}).front();
  const auto result =
      run_bridge({"--out", path, "--domain", "4", "--topic", "A:TA", "--topic", "B:TB"});
  expect_exit(result, 1);
  EXPECT_EQ(result.out, banner(4, 2, quoted_path));
  EXPECT_EQ(result.err, "create " + quoted_path + ": " + c.reason + "\n");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, CliCreateFailure, ::testing::Values(
    CreateFailureCase{"MissingDirectory", "/nonexistent/dir/x.nbrlrec",
                      "\"/nonexistent/dir/x.nbrlrec\"", "No such file or directory (os error 2)"},
    CreateFailureCase{"Directory", "{dir}", "\"{dir}\"", "Is a directory (os error 21)"},
    CreateFailureCase{"QuotedName", "/nonexistent/a\"b\\c\td\n.nbrlrec",
                      R"("/nonexistent/a\"b\\c\td\n.nbrlrec")",
                      "No such file or directory (os error 2)"}),
    [](const auto& test) { return std::string(test.param.label); });
// clang-format on

// The last stdout line, checked for the counters; returns the elapsed seconds it states.
double expect_done_line(const std::string& line) {
  static const std::regex done(
      R"(recorder-bridge done: samples=0 dropped=0 bytes=0 elapsed=([0-9]+\.[0-9])s\n)");
  std::smatch match;
  EXPECT_TRUE(std::regex_match(line, match, done)) << line;
  return match.size() == 2 ? std::stod(match[1].str()) : -1.0;
}

TEST_F(Cli, DurationEndsAnIdleRecordingWithAnEmptyFile) {
  const auto file = dir_ / "idle.nbrlrec";
  std::ofstream(file) << "left over from an earlier run";
  const auto result = run_bridge({"--out", file.string(), "--domain", "3", "--topic", "A:TA",
                                  "--topic", "B:TB", "--duration", "1500"});
  expect_exit(result, 0);
  EXPECT_EQ(result.err, "");

  const std::string head = banner(3, 2, "\"" + file.string() + "\"") + recording_line +
                           "recorder-bridge: duration reached\n";
  ASSERT_TRUE(result.out.starts_with(head)) << result.out;
  const double elapsed = expect_done_line(result.out.substr(head.size()));
  EXPECT_GE(elapsed, 1.5);
  EXPECT_LT(elapsed, 30.0);
  // Five seconds waiting for a peer that never comes, then the recording itself.
  EXPECT_GE(result.wall, 6500ms);
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
}

TEST_F(Cli, SigintDrainsAndEndsNormally) {
  const auto file = dir_ / "sigint.nbrlrec";
  const auto result =
      run_bridge({"--out", file.string(), "--topic", "A:TA"}, {.sigint_after = recording_line});
  expect_exit(result, 0);
  EXPECT_EQ(result.err, "");

  const std::string head = banner(0, 1, "\"" + file.string() + "\"") + recording_line +
                           "recorder-bridge: SIGINT received, draining...\n";
  ASSERT_TRUE(result.out.starts_with(head)) << result.out;
  const double elapsed = expect_done_line(result.out.substr(head.size()));
  EXPECT_GE(elapsed, 0.0);
  EXPECT_LT(elapsed, 30.0);
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
}

}  // namespace
}  // namespace nimbrel::bridge
