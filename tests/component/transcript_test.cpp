#include "component/transcript.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "component/socket_base.h"
#include "core/file_helpers.h"
#include "platform/files.h"
#include "tests/component/configurable.h"
#include "tests/test_support.h"

namespace velmora::component {
namespace {

namespace plat = velmora::platform;

using testing_support::Text;

std::string Command(int direction, const std::string& data) {
  core::Buffer out;
  EXPECT_EQ(AppendTranscriptCommand(out, direction, data.data(), static_cast<int32_t>(data.size())), 0);
  return Text(out);
}

std::string ReadAll(const std::string& path) {
  core::Buffer content;
  return core::ReadFileToBuffer(path.c_str(), content) == 0 ? Text(content) : "";
}

std::string TempPath(const char* name) {
  const std::string path = testing_support::TempPath(std::string("transcript_") + name);
  (void)plat::DeleteFile(path.c_str());
  return path;
}

TEST(TranscriptCommands, TextKeepsItsLineEndsUnderTheHeaderOfItsDirection) {
  EXPECT_EQ(Command(kTranscriptReceive, "a\r\nb"), "\r\nexpect -exact \"a\r\nb\"\r\n");
  EXPECT_EQ(Command(kTranscriptSend, "GET / HTTP/1.0\r\n\r\n"), "\r\nsend -nonewline \"GET / HTTP/1.0\r\n\r\n\"\r\n");
  EXPECT_EQ(Command(kTranscriptSend, ""), "\r\nsend -nonewline \"\"\r\n");
}

TEST(TranscriptCommands, LoneLineEndsMakeDataBinaryWithOctalEscapes) {
  EXPECT_EQ(Command(kTranscriptSend, "a\nb"), "\r\nsend -binary \"a\\012b\"\r\n");
  EXPECT_EQ(Command(kTranscriptSend, "a\r"), "\r\nsend -binary \"a\\015\"\r\n");
  EXPECT_EQ(Command(kTranscriptSend, "\r\r\n"), "\r\nsend -binary \"\\015\\015\\012\"\r\n");
  // Received binary data stays something to expect.
  EXPECT_EQ(Command(kTranscriptReceive, "a\nb"), "\r\nexpect -exact \"a\\012b\"\r\n");
}

TEST(TranscriptCommands, ScriptCharactersAreEscapedAndBytesAboveZAreOctal) {
  EXPECT_EQ(Command(kTranscriptSend, "{|}~"), "\r\nsend -nonewline \"\\173\\174\\175\\176\"\r\n");
  EXPECT_EQ(Command(kTranscriptSend, "\"$[\\]"), "\r\nsend -nonewline \"\\\"\\$\\[\\\\\\]\"\r\n");
  EXPECT_EQ(Command(kTranscriptSend, std::string("\x00\x7f\xff\tz ", 6)),
            "\r\nsend -nonewline \"\\000\\177\\377\\011z \"\r\n");
}

TEST(TranscriptTargets, AFailingFileWriteClosesTheFileAndReturns7WhileTheTextGoesOn) {
  core::Buffer text;
  int file = plat::OpenFile("/dev/full", plat::OpenMode::kWriteTruncate);
  ASSERT_NE(file, plat::kInvalidFile);
  TranscriptTarget target;
  target.file = &file;
  target.text = &text;
  target.to_string = true;
  EXPECT_EQ(RecordTranscript(target, kTranscriptReceive, "a\r\nb", 4), 7);
  EXPECT_EQ(file, plat::kInvalidFile);
  EXPECT_EQ(RecordTranscriptText(target, kTranscriptSend, "{"), 0);
  EXPECT_STREQ(text.Data(), "\r\nexpect -exact \"a\r\nb\"\r\n\r\nsend -nonewline \"\\173\"\r\n");
}

TEST(TranscriptTargets, TheFileReceivesEachCommand) {
  const std::string path = TempPath("file.exp");
  const testing_support::RemovedAtExit remove_file({path});
  int file = plat::OpenFile(path.c_str(), plat::OpenMode::kWriteTruncate);
  ASSERT_NE(file, plat::kInvalidFile);
  TranscriptTarget target;
  target.file = &file;
  EXPECT_EQ(RecordTranscript(target, kTranscriptSend, "hi", 2), 0);
  EXPECT_EQ(RecordTranscript(target, kTranscriptReceive, "ok", 2), 0);
  ASSERT_TRUE(plat::CloseFile(file));
  EXPECT_EQ(ReadAll(path), "\r\nsend -nonewline \"hi\"\r\n\r\nexpect -exact \"ok\"\r\n");
}

TEST(TranscriptTargets, NothingIsWrittenWhenNoTargetIsOn) {
  const std::string log = TempPath("quiet.log");
  const testing_support::RemovedAtExit remove_log({log});
  core::Buffer text;
  int file = plat::kInvalidFile;
  TranscriptTarget target;
  target.file = &file;
  target.text = &text;
  target.log_file = log.c_str();  // named, but bit 0 of the option is off
  EXPECT_EQ(RecordTranscriptText(target, kTranscriptSend, "data"), 0);
  EXPECT_EQ(RecordTranscript(target, kTranscriptSend, "data", 4), 0);
  EXPECT_TRUE(text.IsEmpty());
  EXPECT_FALSE(core::FileExists(log.c_str()));
}

TEST(DebugLogDump, AppendsATimeStampedLineAndAHexDumpPerBlock) {
  const std::string log = TempPath("debug.log");
  const testing_support::RemovedAtExit remove_log({log});
  TranscriptTarget target;
  target.log_file = log.c_str();
  target.log_option = 1;
  target.id = 42;
  EXPECT_EQ(RecordTranscript(target, kTranscriptSend, "Hello", 5), 0);
  EXPECT_EQ(RecordTranscriptText(target, kTranscriptReceive, "ok"), 0);
  const std::string content = ReadAll(log);
  const std::regex expected(
      "\\[42\\]\\[\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\\] ------SEND------\\(5 bytes\\)\r\n"
      "    00000000  48 65 6C 6C 6F [ ]+Hello *\r\n"
      "\\[42\\]\\[[0-9/: ]{19}\\] ------RECEIVE------\\(2 bytes\\)\r\n"
      "    00000000  6F 6B [ ]+ok *\r\n");
  EXPECT_TRUE(std::regex_match(content, expected)) << content;
}

TEST(DebugLogDump, ReportsNoFileAndAnOpenFailure) {
  EXPECT_EQ(DumpToDebugLog(nullptr, 1, kTranscriptSend, "x", 1, false), core::kFileNotOpen);
  EXPECT_EQ(DumpToDebugLog("/nonexistent-dir/x.log", 1, kTranscriptSend, "x", 1, false), core::kCannotOpenForWriting);
}

class RecordingComponent : public Configurable<SocketBase> {
 public:
  RecordingComponent() { (void)Init(); }
};

TEST(TranscriptSettings, RecordToStringRecordToFileAndTheDebugLogTakeTheComponentsData) {
  const std::string log = TempPath("component.log");
  const testing_support::RemovedAtExit remove_log({log});
  RecordingComponent component;
  ASSERT_EQ(component.Set("RecordToString=on"), 0);
  ASSERT_EQ(component.Set("RecordToFile=/dev/full"), 0);
  ASSERT_EQ(component.Set("LogDebugFile=" + log), 0);
  ASSERT_EQ(component.Set("LogDebugOption=1"), 0);
  EXPECT_EQ(component.RecordTranscript(kTranscriptReceive, "a\r\nb", 4), 7);  // the file is closed
  EXPECT_EQ(component.RecordTranscriptText(kTranscriptSend, "x"), 0);
  EXPECT_EQ(component.Get("RecordToString"), "\r\nexpect -exact \"a\r\nb\"\r\n\r\nsend -nonewline \"x\"\r\n");
  const std::string content = ReadAll(log);
  const std::string id = "[" + std::to_string(reinterpret_cast<uintptr_t>(&component)) + "][";
  EXPECT_EQ(content.find(id), 0u) << content;
  EXPECT_NE(content.find("------RECEIVE------(4 bytes)\r\n"), std::string::npos);
  EXPECT_NE(content.find("------SEND------(1 bytes)\r\n"), std::string::npos);

  ASSERT_EQ(component.Set("RecordToString=off"), 0);
  ASSERT_EQ(component.Set("LogDebugOption=0"), 0);
  EXPECT_EQ(component.RecordTranscriptText(kTranscriptSend, "y"), 0);
  EXPECT_EQ(ReadAll(log), content);
}

}  // namespace
}  // namespace velmora::component
