// The proof of a smart copy (SmartCut.h): its copied pictures are the
// source's packets, byte for byte.
#include "engine/core/SmartCut.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

#include "binding/FFmpegLogger.h"
#include "binding/KeyFrameSeek.h"
#include "binding/UnicodeProtocol.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"
#include "engine/core/Transcoder.h"
#include "engine/core/SmartCutParts.h"

namespace kelvane {

using namespace smart_cut;

namespace {

// 128 bits of a packet's bytes (two FNV-1a sums), for finding equal packets.
std::pair<uint64_t, uint64_t> PacketDigest(const uint8_t* data, size_t size) {
  uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull ^ size;
  for (size_t i = 0; i < size; ++i) {
    a = (a ^ data[i]) * 0x100000001b3ull;
    b = (b ^ data[i]) * 0x100000001b3ull + 0x9e3779b97f4a7c15ull;
  }
  return {a, b};
}

// The digest of what a packet codes of its picture: for H.264 and H.265 its
// slices (NAL units of coded picture data), without the access unit
// delimiters, parameter sets and messages a muxer or a join may put beside
// them; for MPEG-2 and MPEG-4 Part 2 from its group or picture header on
// (the headers a join sends before it aside); for other codecs the whole
// packet. {0, 0}: nothing of a picture.
std::pair<uint64_t, uint64_t> PictureDigest(const AVPacket* packet,
                                            const AVCodecParameters* par) {
  const auto size = static_cast<size_t>(packet->size);
  if (IsMpegVideo(par->codec_id)) {
    // The sequence header or VOL a join sends in front of a key frame aside.
    const size_t at = MpegPictureStart(packet->data, size, par->codec_id);
    return PacketDigest(packet->data + at, size - at);
  }
  if (par->codec_id != AV_CODEC_ID_H264 && par->codec_id != AV_CODEC_ID_HEVC)
    return PacketDigest(packet->data, size);
  const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
  int length_size = 0;
  if (par->extradata_size > 0 && !StartsWithStartCode(par->extradata, par->extradata_size)) {
    if (!hevc && par->extradata_size > 4) length_size = (par->extradata[4] & 3) + 1;
    if (hevc && par->extradata_size > 21) length_size = (par->extradata[21] & 3) + 1;
  }
  std::vector<uint8_t> slices;
  for (const TNal& nal : SplitNals(packet->data, size, length_size, hevc)) {
    const int type = nal.Type();
    if (!(hevc ? type >= 0 && type < 32 : type >= 1 && type <= 5)) continue;
    // A NAL unit ends in a set bit: zero bytes after it are the next start
    // code's, which a reader may split off either way.
    size_t length = nal.Size;
    while (length > 0 && nal.Data[length - 1] == 0) --length;
    slices.insert(slices.end(), nal.Data, nal.Data + length);
  }
  if (slices.empty()) return {0, 0};
  return PacketDigest(slices.data(), slices.size());
}

// PictureDigest, where AV1's units that only show a frame decoded before
// (a few bytes, alike wherever they stand) count with the unit before them:
// `previous` is the digest of the file's last unit read.
std::pair<uint64_t, uint64_t> UnitDigest(const AVPacket* packet, const AVCodecParameters* par,
                                         std::pair<uint64_t, uint64_t>& previous) {
  std::pair<uint64_t, uint64_t> digest = PictureDigest(packet, par);
  if (par->codec_id == AV_CODEC_ID_AV1 && Av1ShowsExisting(packet))
    digest = {digest.first ^ (previous.first * 31), digest.second ^ (previous.second * 37)};
  previous = digest;
  return digest;
}

// An input opened for reading its video packets.
struct TVideoReader {
  TInputContext Input;
  int Index = -1;
  int64_t Origin = 0;
  std::unique_ptr<TPictureClock> Clock;  // MPEG-2: the times packets lack
  std::string Open(const std::string& name) {
    int ret = OpenInputContext(ToLibraryFileName(name), nullptr, nullptr, Input);
    if (ret >= 0) {
      std::lock_guard<std::mutex> lock(CodecLock());
      ret = avformat.avformat_find_stream_info(Input.Get(), nullptr);
    }
    if (ret >= 0)
      ret = avformat.av_find_best_stream(Input.Get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (ret < 0) return ErrorText(name + ": its pictures cannot be read", ret);
    Index = ret;
    Origin = InputOrigin(Input.Get());
    Clock = MakePictureClock(Input->streams[Index]);
    return {};
  }
  // µs from the file's start; AV_NOPTS_VALUE when the packet has no time.
  int64_t Time(const AVPacket* packet) {
    const int64_t pts = Clock ? Clock->Time(packet) : packet->pts;
    if (pts == AV_NOPTS_VALUE) return AV_NOPTS_VALUE;
    return avutil.av_rescale_q(pts, Input->streams[Index]->time_base, AV_TIME_BASE_Q) - Origin;
  }
};

}  // namespace

TCopyProof ProveCopiedPackets(const std::string& source_name, const std::string& output_name,
                              int64_t start_us, int64_t end_us, const std::atomic<bool>* stop) {
  return ProveCopiedParts(source_name, output_name, {{start_us, end_us}}, stop);
}

TCopyProof ProveCopiedParts(const std::string& source_name, const std::string& output_name,
                            const std::vector<std::pair<int64_t, int64_t>>& parts,
                            const std::atomic<bool>* stop) {
  TCopyProof proof;
  TVideoReader source, output;
  proof.Problem = source.Open(source_name);
  if (proof.Problem.empty()) proof.Problem = output.Open(output_name);
  if (!proof.Problem.empty()) return proof;
  auto stopped = [stop] { return stop != nullptr && stop->load(); };

  // The source's pictures of the cut, by the digests of their coded data.
  std::map<std::pair<uint64_t, uint64_t>, int> digests;
  const AVCodecParameters* source_par = source.Input->streams[source.Index]->codecpar;
  const AVCodecParameters* output_par = output.Input->streams[output.Index]->codecpar;
  AVPacketPtr packet(avcodec.av_packet_alloc());
  if (!packet) throw FFmpegException("av_packet_alloc failed");
  for (const auto& [start_us, end_us] : parts) {
    const int64_t end = end_us < 0 ? INT64_MAX : end_us;
    // A transport stream's seek lands near the time, often after it: it is
    // sought well before.
    const int64_t lead = SeekLandsLate(source.Input.Get()) ? kLateLandingLead : 0;
    SeekKeyFrame(source.Input.Get(), std::max<int64_t>(start_us - lead, 0) + source.Origin);
    // Packets come in decoding order: reading goes on a little past the end
    // for pictures shown before it.
    constexpr int64_t kReorderSlack = 2'000'000;
    std::pair<uint64_t, uint64_t> previous{0, 0};
    while (!stopped() && avformat.av_read_frame(source.Input.Get(), packet.get()) >= 0) {
      TPacketUnref unref{packet.get()};
      if (packet->stream_index != source.Index) continue;
      const int64_t time = source.Time(packet.get());
      if (time != AV_NOPTS_VALUE && end != INT64_MAX && time >= end + kReorderSlack) break;
      const auto digest = UnitDigest(packet.get(), source_par, previous);
      if (time == AV_NOPTS_VALUE || time < start_us - 1000 || time >= end) continue;
      if (digest != std::pair<uint64_t, uint64_t>{0, 0}) ++digests[digest];
    }
  }
  std::pair<uint64_t, uint64_t> previous{0, 0};
  while (!stopped() && avformat.av_read_frame(output.Input.Get(), packet.get()) >= 0) {
    TPacketUnref unref{packet.get()};
    if (packet->stream_index != output.Index) continue;
    const auto digest = UnitDigest(packet.get(), output_par, previous);
    if (digest == std::pair<uint64_t, uint64_t>{0, 0}) continue;
    ++proof.OutputPackets;
    auto found = digests.find(digest);
    if (found != digests.end() && found->second > 0) {
      --found->second;
      ++proof.Identical;
    }
  }
  if (stopped()) proof.Problem = "stopped";
  return proof;
}

}  // namespace kelvane
