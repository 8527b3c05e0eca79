// The messages to and from converter processes, and the limits' words: what
// a converter sends is hostile, so every way a frame can lie must be refused.
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "app/converter_limits.h"
#include "app/converter_wire.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using namespace std::chrono_literals;

std::string_view FieldsOf(const std::string& frame) { return std::string_view(frame).substr(sizeof(wire::FrameHeader)); }

wire::FrameHeader HeaderOf(const std::string& frame) {
  wire::FrameHeader h{};
  std::memcpy(&h, frame.data(), sizeof h);
  return h;
}

TEST(ConverterWire, EveryMessageComesBackAsItWasSent) {
  wire::Setup setup;
  setup.memory_limit = 3ull << 30;
  setup.read_roots = {"/home/a/docs", "/tmp/x y", std::string("nul\0inside", 10)};
  setup.scratch = "/tmp/quarn-converter-1";
  const std::string frame = wire::Encode(setup);
  EXPECT_TRUE(wire::HeaderFits(HeaderOf(frame), wire::Kind::kSetup, wire::kMaxProgramFrame));
  EXPECT_EQ(HeaderOf(frame).size, frame.size() - sizeof(wire::FrameHeader));
  wire::Setup got;
  ASSERT_TRUE(wire::Decode(FieldsOf(frame), &got));
  EXPECT_EQ(got.memory_limit, setup.memory_limit);
  EXPECT_EQ(got.read_roots, setup.read_roots);
  EXPECT_EQ(got.scratch, setup.scratch);

  wire::Request request{"/docs/a.docx", {"ocr=1", "ocr_languages=eng+deu"}};
  wire::Request request_back;
  ASSERT_TRUE(wire::Decode(FieldsOf(wire::Encode(request)), &request_back));
  EXPECT_EQ(request_back.path, request.path);
  EXPECT_EQ(request_back.options, request.options);

  wire::Reply reply;
  reply.outcome = Outcome::kWritten;
  reply.reason = "the text was cut";
  reply.text_size = 12345;
  reply.recognized_pages = 3;
  reply.memory_exhausted = true;
  reply.reader = "rtf";
  wire::Reply reply_back;
  ASSERT_TRUE(wire::Decode(FieldsOf(wire::Encode(reply)), &reply_back));
  EXPECT_EQ(reply_back.outcome, Outcome::kWritten);
  EXPECT_EQ(reply_back.reason, reply.reason);
  EXPECT_EQ(reply_back.text_size, 12345u);
  EXPECT_EQ(reply_back.recognized_pages, 3u);
  EXPECT_TRUE(reply_back.memory_exhausted);
  EXPECT_EQ(reply_back.reader, "rtf");
  EXPECT_EQ(reply_back.pages, -1) << "not known unless told";
  reply.pages = 0;
  ASSERT_TRUE(wire::Decode(FieldsOf(wire::Encode(reply)), &reply_back));
  EXPECT_EQ(reply_back.pages, 0);
  reply.pages = 1234;
  ASSERT_TRUE(wire::Decode(FieldsOf(wire::Encode(reply)), &reply_back));
  EXPECT_EQ(reply_back.pages, 1234);

  wire::Ready ready{"cannot load the system-call filter", 7};
  wire::Ready ready_back;
  ASSERT_TRUE(wire::Decode(FieldsOf(wire::Encode(ready)), &ready_back));
  EXPECT_EQ(ready_back.error, ready.error);
  EXPECT_EQ(ready_back.landlock_abi, 7);
}

TEST(ConverterWire, RefusesRepliesThatLie) {
  wire::Reply reply;
  reply.outcome = Outcome::kNoText;
  reply.reason = "no text";
  const std::string frame = wire::Encode(reply);
  wire::Reply got;
  // Cut anywhere before the text's size is whole: a field runs past the
  // frame, or a required field is missing.
  const std::size_t required = 20 + (12 + reply.reason.size()) + 20;  // outcome, reason, text size
  for (std::size_t cut = 1; cut < required; ++cut)
    EXPECT_FALSE(wire::Decode(FieldsOf(frame).substr(0, cut), &got)) << "cut at " << cut;
  ASSERT_TRUE(wire::Decode(FieldsOf(frame), &got));
  // Only the program decides that a file is its own text; other outcomes are out of range.
  for (std::uint64_t outcome : {static_cast<std::uint64_t>(Outcome::kSameFile), std::uint64_t{99}}) {
    std::string forged = frame;
    const std::size_t at = sizeof(wire::FrameHeader) + 12;  // the outcome's number
    std::memcpy(forged.data() + at, &outcome, sizeof outcome);
    EXPECT_FALSE(wire::Decode(FieldsOf(forged), &got));
  }
  // A length that claims more than there is.
  std::string huge = frame;
  const std::uint64_t claim = ~std::uint64_t{0};
  std::memcpy(huge.data() + sizeof(wire::FrameHeader) + 4, &claim, sizeof claim);
  EXPECT_FALSE(wire::Decode(FieldsOf(huge), &got));
  // Headers: another kind, another magic, a frame too large.
  wire::FrameHeader h = HeaderOf(frame);
  EXPECT_FALSE(wire::HeaderFits(h, wire::Kind::kReady, wire::kMaxConverterFrame));
  h.size = wire::kMaxConverterFrame + 1;
  EXPECT_FALSE(wire::HeaderFits(h, wire::Kind::kReply, wire::kMaxConverterFrame));
  h = HeaderOf(frame);
  h.magic ^= 1;
  EXPECT_FALSE(wire::HeaderFits(h, wire::Kind::kReply, wire::kMaxConverterFrame));
  // A page count no document has.
  wire::Reply paged;
  paged.pages = 7;
  std::string lying = wire::Encode(paged);
  const std::uint64_t pages = std::uint64_t{1} << 40;
  std::memcpy(lying.data() + lying.size() - sizeof pages, &pages, sizeof pages);
  EXPECT_FALSE(wire::Decode(FieldsOf(lying), &got));
  // A request without its path is no request.
  wire::Request request;
  EXPECT_FALSE(wire::Decode(std::string_view(), &request));
}

TEST(ConverterLimits, SizesAndSecondsAsTheCommandLineWritesThem) {
  EXPECT_EQ(ParseSize("4G"), 4ull << 30);
  EXPECT_EQ(ParseSize("4GiB"), 4ull << 30);
  EXPECT_EQ(ParseSize("4gb"), 4ull << 30);
  EXPECT_EQ(ParseSize("512M"), 512ull << 20);
  EXPECT_EQ(ParseSize("1.5G"), 3ull << 29);
  EXPECT_EQ(ParseSize("800k"), 800ull << 10);
  EXPECT_EQ(ParseSize("1048576"), 1048576u);
  EXPECT_EQ(ParseSize("0"), 0u);
  for (const char* bad : {"", "G", "-1G", "4X", "4GG", ".5G", "1.5", "4 G B", "99999999999T"})
    EXPECT_FALSE(ParseSize(bad).has_value()) << bad;
  EXPECT_EQ(ParseSeconds("300"), 300s);
  EXPECT_EQ(ParseSeconds("0"), 0s);
  for (const char* bad : {"", "-5", "5s", "1.5", "9999999999"}) EXPECT_FALSE(ParseSeconds(bad).has_value()) << bad;

  EXPECT_EQ(DescribeSize(4ull << 30), "4 GiB");
  EXPECT_EQ(DescribeSize(3ull << 29), "1.5 GiB");
  EXPECT_EQ(DescribeSize(256ull << 20), "256 MiB");
  EXPECT_EQ(DescribeSize(100), "100 bytes");
  EXPECT_EQ(MemoryLimitReason(4ull << 30), "needed more than 4 GiB");
  EXPECT_EQ(TimeLimitReason(300s), "stopped after 300 s");
  EXPECT_GT(DefaultMemoryLimit(), 0u);
  EXPECT_LE(DefaultMemoryLimit(), 4ull << 30);
}

// In a container or a batch job the memory there is, is the control
// group's: the smallest limit along its path, in either hierarchy.
TEST(ConverterLimits, AControlGroupsMemoryLimitIsFoundUpItsPath) {
  quarn::testing::TempTree tree;
  // cgroup v2: the job's own folder sets none, its parent does.
  tree.Write("v2/self", "0::/jobs/job-7\n");
  tree.Write("v2/root/jobs/job-7/memory.max", "max\n");
  tree.Write("v2/root/jobs/memory.max", "1073741824\n");
  EXPECT_EQ(ControlGroupMemoryLimit(tree / "v2/self", tree / "v2/root"), 1ull << 30);
  // cgroup v1, the memory controller mounted with another; the top's
  // "unlimited" is a number near 2^63.
  tree.Write("v1/self", "5:cpu,cpuacct:/\n4:memory:/slurm/uid_0/job_42\n0::/\n");
  tree.Write("v1/root/memory/slurm/uid_0/job_42/memory.limit_in_bytes", "2147483648\n");
  tree.Write("v1/root/memory/slurm/memory.limit_in_bytes", "8589934592\n");
  tree.Write("v1/root/memory/memory.limit_in_bytes", "9223372036854771712\n");
  EXPECT_EQ(ControlGroupMemoryLimit(tree / "v1/self", tree / "v1/root"), 2ull << 30);
  // None set, none readable, nothing to read.
  tree.Write("none/self", "0::/\n");
  tree.Write("none/root/memory.max", "max\n");
  EXPECT_FALSE(ControlGroupMemoryLimit(tree / "none/self", tree / "none/root").has_value());
  tree.Write("odd/self", "garbage\n0::relative\n");
  EXPECT_FALSE(ControlGroupMemoryLimit(tree / "odd/self", tree / "odd/root").has_value());
  EXPECT_FALSE(ControlGroupMemoryLimit(tree / "missing", tree / "missing").has_value());
}

}  // namespace
}  // namespace quarn
