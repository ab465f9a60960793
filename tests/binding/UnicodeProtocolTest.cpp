#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/FileUtils.h"
#include "binding/UnicodeProtocol.h"
#include "tests/common/TestSupport.h"

namespace kelvane {
namespace {

const std::string kForeignName = "m\xC3\xBCsik \xE6\x97\xA5\xE6\x9C\xAC.wav";  // "müsik 日本.wav"

// Runs a test under the C locale (whose narrow set is ASCII) and restores the
// locale the program had.
class TCLocale {
 public:
  TCLocale() : saved_(setlocale(LC_ALL, nullptr)) { setlocale(LC_ALL, "C"); }
  ~TCLocale() { setlocale(LC_ALL, saved_.c_str()); }

 private:
  std::string saved_;
};

TEST(FileNames, CLocaleWrapsEveryNonAsciiName) {
  TCLocale c_locale;
  EXPECT_FALSE(NeedsUnicodeProtocol("/tmp/plain name.mp4"));
  EXPECT_EQ(ToLibraryFileName("/tmp/plain name.mp4"), "/tmp/plain name.mp4");
  EXPECT_TRUE(NeedsUnicodeProtocol("/tmp/" + kForeignName));
  EXPECT_EQ(ToLibraryFileName("/tmp/" + kForeignName), "unicode:utf8:/tmp/" + kForeignName);
  // Known protocol words pass unchanged; other words are decided by characters.
  EXPECT_FALSE(NeedsUnicodeProtocol("http://host/" + kForeignName));
  EXPECT_FALSE(NeedsUnicodeProtocol("pipe:" + kForeignName));
  EXPECT_TRUE(NeedsUnicodeProtocol("file:/tmp/" + kForeignName));
  EXPECT_FALSE(NeedsUnicodeProtocol("file:/tmp/plain.mp4"));
}

TEST(FileNames, Utf8LocaleNeedsNoProtocol) {
  const std::string saved = setlocale(LC_ALL, nullptr);
  if (setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
  EXPECT_FALSE(NeedsUnicodeProtocol("/tmp/" + kForeignName));
  EXPECT_EQ(ToLibraryFileName("/tmp/" + kForeignName), "/tmp/" + kForeignName);
  setlocale(LC_ALL, saved.c_str());
}

TEST(FileNames, UrlRecognitionAndWayBack) {
  EXPECT_TRUE(IsUnicodeURL("unicode:utf8:a"));
  EXPECT_FALSE(IsUnicodeURL("unicode:utf8:"));
  EXPECT_FALSE(IsUnicodeURL("unicode:utf16:abc"));
  EXPECT_EQ(FromLibraryFileName("unicode:utf8:/x/" + kForeignName), "/x/" + kForeignName);
  EXPECT_EQ(FromLibraryFileName("/x/plain.mp4"), "/x/plain.mp4");
  TCLocale c_locale;
  EXPECT_EQ(FromLibraryFileName(ToLibraryFileName("/x/" + kForeignName)), "/x/" + kForeignName);
}

TEST(FileHelpers, PathsAndSplitting) {
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a/b"), "/a/b/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a/b/"), "/a/b/");
  EXPECT_EQ(ExtractFilePath("/a/b/c.mp4"), "/a/b/");
  EXPECT_EQ(ExtractFilePath("c.mp4"), "");
  EXPECT_EQ(ExtractFileName("/a/b/c.mp4"), "c.mp4");
  EXPECT_EQ(ExtractFileName("c.mp4"), "c.mp4");
  EXPECT_EQ(ExtractFileExt("/a.b/c"), "");
  EXPECT_EQ(ExtractFileExt("/a/c.tar.gz"), ".gz");

  std::string source = "size=320x240";
  EXPECT_EQ(SplitAtFirst(source, "=", false), "size");
  EXPECT_EQ(source, "size=320x240");
  EXPECT_EQ(SplitAtFirst(source, "=", true), "size");
  EXPECT_EQ(source, "320x240");
  EXPECT_EQ(SplitAtFirst(source, "=", true), "320x240");
  EXPECT_EQ(source, "");
}

TEST(FileHelpers, ExistenceSizeAndProgramFolder) {
  test::TTempDir dir;
  const std::string file = dir.File(kForeignName);
  EXPECT_FALSE(FileExists(file));
  EXPECT_EQ(FileSize(file), -1);
  std::ofstream(file) << "12345";
  EXPECT_TRUE(FileExists(file));
  EXPECT_EQ(FileSize(file), 5);
  EXPECT_FALSE(FileExists(dir.Path().string()));
  EXPECT_EQ(FileSize(dir.Path().string()), -1);
  EXPECT_TRUE(DirectoryExists(dir.Path().string()));

  const std::string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_EQ(folder[0], '/');
  EXPECT_TRUE(DirectoryExists(folder));

  // Shipped files: beside the program in a build folder, else in the installed data folder.
  const std::string bin = dir.File("bin");
  std::filesystem::create_directories(bin);
  EXPECT_EQ(ProgramDataFile(bin, "help.html"), dir.File("share/kelvane/help.html"));
  std::ofstream(dir.File("bin/help.html")) << "guide";
  EXPECT_EQ(ProgramDataFile(bin + "/", "help.html"), dir.File("bin/help.html"));
}

// Writes a short mono 16-bit WAV through libavformat to `library_name`.
int WriteWav(const std::string& library_name, int samples) {
  TOutputContext output;
  int error = output.Allocate(nullptr, "wav", library_name);
  if (error < 0) return error;
  AVStream* stream = avformat.avformat_new_stream(output.Get(), nullptr);
  stream->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  stream->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
  stream->codecpar->sample_rate = 8000;
  stream->codecpar->format = AV_SAMPLE_FMT_S16;
  avutil.av_channel_layout_default(&stream->codecpar->ch_layout, 1);
  stream->time_base = {1, 8000};
  if ((error = OpenOutputIO(output, library_name)) < 0) return error;
  if ((error = avformat.avformat_write_header(output.Get(), nullptr)) < 0) return error;
  AVPacketPtr packet(avcodec.av_packet_alloc());
  avcodec.av_new_packet(packet.get(), samples * 2);
  for (int i = 0; i < samples * 2; ++i) packet->data[i] = static_cast<uint8_t>(i);
  packet->pts = packet->dts = 0;
  packet->duration = samples;
  packet->stream_index = 0;
  if ((error = avformat.av_interleaved_write_frame(output.Get(), packet.get())) < 0) return error;
  if ((error = avformat.av_write_trailer(output.Get())) < 0) return error;
  return output.CloseIO();
}

// The size field of a RIFF header, read without the libraries.
int64_t RiffSize(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  unsigned char header[8] = {};
  in.read(reinterpret_cast<char*>(header), 8);
  return header[4] | header[5] << 8 | header[6] << 16 | int64_t(header[7]) << 24;
}

// Reads every packet back and returns the payload size, or a negative error.
int64_t ReadWavPayload(const std::string& library_name) {
  TInputContext input;
  int error = OpenInputContext(library_name, nullptr, nullptr, input);
  if (error < 0) return error;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    if ((error = avformat.avformat_find_stream_info(input.Get(), nullptr)) < 0) return error;
  }
  EXPECT_EQ(input->nb_streams, 1u);
  EXPECT_EQ(input->streams[0]->codecpar->codec_id, AV_CODEC_ID_PCM_S16LE);
  EXPECT_STREQ(input->iformat->name, "wav");
  int64_t total = 0;
  AVPacketPtr packet(avcodec.av_packet_alloc());
  while (avformat.av_read_frame(input.Get(), packet.get()) >= 0) {
    total += packet->size;
    avcodec.av_packet_unref(packet.get());
  }
  return total;
}

class UnicodeProtocolTest : public test::TMediaTest {};

TEST_F(UnicodeProtocolTest, ForeignNameIsWrittenAndReadThroughTheProtocolUnderCLocale) {
  TCLocale c_locale;
  const std::string file = temp_.File(kForeignName);
  const std::string library_name = ToLibraryFileName(file);
  ASSERT_TRUE(IsUnicodeURL(library_name));
  ASSERT_EQ(WriteWav(library_name, 4000), 0);
  ASSERT_TRUE(FileExists(file)) << "the file keeps its real name";
  // The trailer went back through seek to fill in the sizes of the header.
  EXPECT_EQ(RiffSize(file), FileSize(file) - 8);
  EXPECT_GT(FileSize(file), 8000);
  EXPECT_EQ(ReadWavPayload(library_name), 8000);
}

TEST_F(UnicodeProtocolTest, PlainNameUsesTheLibrariesOwnFileProtocol) {
  TCLocale c_locale;
  const std::string file = temp_.File("plain.wav");
  ASSERT_EQ(ToLibraryFileName(file), file);
  ASSERT_EQ(WriteWav(file, 100), 0);
  EXPECT_EQ(ReadWavPayload(file), 200);
}

TEST_F(UnicodeProtocolTest, WritingTruncatesAnExistingFile) {
  const std::string file = temp_.File(kForeignName);
  std::ofstream(file) << std::string(100000, 'z');
  ASSERT_EQ(WriteWav(kUnicodeURLPrefix + file, 10), 0);
  EXPECT_LT(FileSize(file), 200);
  EXPECT_EQ(RiffSize(file), FileSize(file) - 8);
}

TEST_F(UnicodeProtocolTest, MissingFileReportsNoSuchFile) {
  TInputContext input;
  EXPECT_EQ(OpenInputContext(kUnicodeURLPrefix + temp_.File("absent \xC3\xA9.wav"), nullptr,
                             nullptr, input),
            AVERROR(ENOENT));
  EXPECT_FALSE(input);
  // A prepared context is taken over and freed on failure (ASan checks the leak).
  AVFormatContext* prepared = avformat.avformat_alloc_context();
  EXPECT_EQ(OpenInputContext(kUnicodeURLPrefix + temp_.File("absent.wav"), nullptr, nullptr,
                             input, prepared),
            AVERROR(ENOENT));
  // Garbage under a real name: the library refuses it and nothing leaks.
  const std::string junk = temp_.File("junk \xC3\xA9.wav");
  std::ofstream(junk) << "not a media file at all";
  EXPECT_LT(OpenInputContext(kUnicodeURLPrefix + junk, nullptr, nullptr, input), 0);
}

TEST_F(UnicodeProtocolTest, SizeQueryLeavesThePositionAlone) {
  const std::string file = temp_.File(kForeignName);
  std::ofstream(file) << "0123456789";
  int error = 0;
  auto io = TUnicodeIO::Open(kUnicodeURLPrefix + file, AVIO_FLAG_READ, error);
  ASSERT_TRUE(io) << error;
  uint8_t bytes[4];
  ASSERT_EQ(avformat.avio_read(io->Context(), bytes, 3), 3);
  EXPECT_EQ(avformat.avio_size(io->Context()), 10);
  ASSERT_EQ(avformat.avio_read(io->Context(), bytes, 2), 2);
  EXPECT_EQ(bytes[0], '3');
  EXPECT_EQ(avformat.avio_seek(io->Context(), 9, SEEK_SET), 9);
  ASSERT_EQ(avformat.avio_read(io->Context(), bytes, 4), 1);
  EXPECT_EQ(bytes[0], '9');
  EXPECT_EQ(io->Close(), 0);
}

TEST_F(UnicodeProtocolTest, WriteErrorIsReportedOnClose) {
  int error = 0;
  auto io = TUnicodeIO::Open(kUnicodeURLPrefix + std::string("/dev/full"), AVIO_FLAG_WRITE, error);
  ASSERT_TRUE(io) << error;
  std::vector<uint8_t> bytes(1000, 1);
  avformat.avio_write(io->Context(), bytes.data(), static_cast<int>(bytes.size()));
  EXPECT_EQ(io->Close(), AVERROR(ENOSPC));
}

}  // namespace
}  // namespace kelvane
