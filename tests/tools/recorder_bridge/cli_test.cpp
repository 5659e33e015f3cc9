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
    "    [--duration N(ms|s)] [--max-sample-size SIZE] \\\n"
    "    [--compression none|lz4|zstd] \\\n"
    "    [--all] [--exclude MUSTER ...] [--max-topics N]\n"
    "\n"
    "OPTIONS:\n"
    "  --out FILE        Output-Pfad fuer .nbrlrec\n"
    "  --domain N        DDS-Domain-ID (default 0)\n"
    "  --topic NAME:TYPE Topic + Type \xE2\x80\x94 mehrfach erlaubt\n"
    "  --duration X      Stop nach X (ms-default oder Suffix s)\n"
    "  --max-sample-size SIZE\n"
    "                    Groesstes Sample (default 64MiB); groessere gehen verloren\n"
    "  --compression none|lz4|zstd\n"
    "                    MCAP statt .nbrlrec, wenn FILE auf .mcap endet;\n"
    "                    Chunk-Kompression (default zstd)\n"
    "  --topic NAME      Nur MCAP: Topic mit jedem Typ seiner Writer;\n"
    "                    * und ? machen NAME zum Muster\n"
    "  --all             Nur MCAP: alle Topics, auch spaeter erscheinende\n"
    "  --exclude MUSTER  Nur MCAP: Topics auslassen \xE2\x80\x94 mehrfach erlaubt\n"
    "  --max-topics N    Nur MCAP: hoechstens N Topics (default 4096)\n"
    "  --version         Version ausgeben\n"
    "\n";

const std::string recording_line = "recording... (Ctrl-C zum stoppen)\n";

std::string banner(std::uint32_t domain, std::size_t topics, const std::string& quoted_path) {
  return "nimbrel-recorder-bridge: domain=" + std::to_string(domain) +
         " topics=" + std::to_string(topics) + " \xE2\x86\x92 " + quoted_path + "\n";
}

std::string quoted(const std::string& path) {
  return std::string("\"").append(path).append("\"");
}

void expect_exit(const ProcessResult& r, int status) {
  EXPECT_FALSE(r.timed_out);
  EXPECT_TRUE(r.exited) << "killed by signal " << r.signal;
  EXPECT_EQ(r.exit_status, status);
}

class Cli : public ::testing::Test {
 protected:
  static std::filesystem::path make_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bridge-cli-XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    return pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // A run that records until `stop_line`, then prints the done line and ends with status 0;
  // returns the elapsed seconds the done line states.
  static double expect_recording_run(const ProcessResult& result, const std::string& banner_line,
                                     const std::string& stop_line) {
    expect_exit(result, 0);
    EXPECT_EQ(result.err, "");
    const std::string head = banner_line + recording_line + stop_line;
    EXPECT_TRUE(result.out.starts_with(head)) << result.out;
    static const std::regex done(
        R"(recorder-bridge done: samples=0 dropped=0 bytes=0 elapsed=([0-9]+\.[0-9])s\n)");
    std::smatch match;
    const std::string tail = result.out.substr(std::min(head.size(), result.out.size()));
    EXPECT_TRUE(std::regex_match(tail, match, done)) << tail;
    return match.size() == 2 ? std::stod(match[1].str()) : -1.0;
  }

  const std::filesystem::path dir_ = make_dir();
  const std::string out_ = (dir_ / "x.nbrlrec").string();
};

// The usage on stdout and no file, after help with status 0 or after every command-line error
// with its message on stderr and status 2.
TEST_F(Cli, UsageAfterHelpOrAnError) {
  const std::string& out = out_;
  const std::string a_ta = "A:TA";
  // clang-format off
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--help"}, ""}, {{"-h"}, ""}, {{"help"}, ""},
      {{"--out", out, "--topic", a_ta, "-h", "--verbose"}, ""},
      {{}, "--out FILE required"},
      {{"--out", out}, "at least one --topic NAME:TYPE required"},
      {{"--out", out, "--topic", a_ta, "--domain"}, "missing value for --domain"},
      {{"--verbose"}, "unknown flag: --verbose"},
      {{"--out", out, "--topic", "Foo"}, "topic must be NAME:TYPE, got Foo"},
      {{"--out", out, "--topic", a_ta, "--domain", "-1"}, "domain: invalid digit found in string"},
      {{"--out", out, "--topic", a_ta, "--domain", "4294967296"},
       "domain: number too large to fit in target type"},
      {{"--out", out, "--topic", a_ta, "--domain", ""},
       "domain: cannot parse integer from empty string"},
      {{"--out", out, "--topic", a_ta, "--duration", "ms"},
       "ms: cannot parse integer from empty string"},
      {{"--out", out, "--topic", a_ta, "--duration", "3 s"}, "s: invalid digit found in string"},
      {{"--out", out, "--topic", a_ta, "--duration", "99999999999999999999"},
       "ms-default: number too large to fit in target type"},
      {{"--verbose", "1", "--help"}, "unknown flag: --verbose"},
      {{"--out", out, "--topic", a_ta, "--compression", "zstd"},
       "--compression needs an .mcap output"},
      {{"--out", out + ".mcap", "--topic", a_ta, "--compression", "gzip"},
       "compression: must be none, lz4 or zstd, got gzip"},
      {{"--out", (dir_ / "x\xFF.nbrlrec").string(), "--topic", a_ta},
       "argument 2 is not valid UTF-8"},
      // Topics by name or pattern are for MCAP outputs only; .nbrlrec keeps its rules.
      {{"--topic", "A", "--out", out}, "topic must be NAME:TYPE, got A"},
      {{"--all", "--out", out, "--topic", a_ta}, "--all needs an .mcap output"},
      {{"--out", out, "--topic", a_ta, "--exclude", "B*"}, "--exclude needs an .mcap output"},
      {{"--out", out + ".mcap"}, "at least one --topic NAME[:TYPE] or --all required"},
      {{"--out", out + ".mcap", "--exclude", "B*"},
       "at least one --topic NAME[:TYPE] or --all required"},
      {{"--out", out + ".mcap", "--all", "--max-topics", "0"},
       "max-topics: must be a whole number from 1 to 4294967295"},
      {{"--out", out + ".mcap", "--topic", ""}, "topic: a name or pattern is needed"}};
  // clang-format on
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const auto result = run_bridge(args);
    expect_exit(result, message.empty() ? 0 : 2);
    EXPECT_EQ(result.err, message.empty() ? "" : "error: " + message + "\n");
    EXPECT_EQ(result.out, usage);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
  }
}

TEST_F(Cli, FileThatCannotBeCreatedEndsAfterTheBannerWithStatusOne) {
  // clang-format off
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"/nonexistent/dir/x.nbrlrec", "\"/nonexistent/dir/x.nbrlrec\"",
       "No such file or directory (os error 2)"},
      {dir_.string(), quoted(dir_.string()), "Is a directory (os error 21)"},
      {"/nonexistent/a\"b\\c\td\n.nbrlrec", R"("/nonexistent/a\"b\\c\td\n.nbrlrec")",
       "No such file or directory (os error 2)"}};
  // clang-format on
  for (const auto& [path, quoted_path, reason] : cases) {
    const auto result =
        run_bridge({"--out", path, "--domain", "4", "--topic", "A:TA", "--topic", "B:TB"});
    expect_exit(result, 1);
    EXPECT_EQ(result.out, banner(4, 2, quoted_path));
    EXPECT_EQ(result.err, "create " + quoted_path + ": " + reason + "\n");
  }
}

// A start that fails after the file was opened leaves what the file held, in either format.
TEST_F(Cli, AFailedStartLeavesAnExistingFileAsItWas) {
  for (const auto& path : {out_, out_ + ".mcap"}) {
    std::ofstream(path) << "an earlier recording";
    const auto result = run_bridge({"--out", path, "--domain", "999", "--topic", "A:TA"});
    expect_exit(result, 1);
    EXPECT_EQ(result.out, banner(999, 1, quoted(path)));
    EXPECT_EQ(result.err, "nimbrel_runtime_create failed\n");
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "an earlier recording") << path;
  }
}

TEST_F(Cli, DurationEndsAnIdleRecordingWithAnEmptyFile) {
  std::ofstream(out_) << "left over from an earlier run";
  const auto result = run_bridge(
      {"--out", out_, "--domain", "3", "--topic", "A:TA", "--topic", "B:TB", "--duration", "1500"});
  const double elapsed = expect_recording_run(result, banner(3, 2, quoted(out_)),
                                              "recorder-bridge: duration reached\n");
  EXPECT_GE(elapsed, 1.5);
  EXPECT_LT(elapsed, 30.0);
  // Five seconds waiting for a peer that never comes, then the recording itself.
  EXPECT_GE(result.wall, 6500ms);
  EXPECT_EQ(std::filesystem::file_size(out_), 0u);
}

TEST_F(Cli, SigintDrainsAndEndsNormally) {
  const auto result =
      run_bridge({"--out", out_, "--topic", "A:TA"}, {.sigint_after = recording_line});
  const double elapsed = expect_recording_run(result, banner(0, 1, quoted(out_)),
                                              "recorder-bridge: SIGINT received, draining...\n");
  EXPECT_GE(elapsed, 0.0);
  EXPECT_LT(elapsed, 30.0);
  ASSERT_TRUE(std::filesystem::exists(out_));
  EXPECT_EQ(std::filesystem::file_size(out_), 0u);
}

}  // namespace
}  // namespace nimbrel::bridge
