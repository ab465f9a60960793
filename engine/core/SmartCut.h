// A copied video stream cut exactly at the marks without re-encoding what
// need not be: the groups of pictures that lie wholly inside the cut are
// copied packet for packet, and only the partial groups at its edges are
// decoded and encoded again with an encoder set up like the source's, at a
// constant quality matched to the source's pictures around them.
//
// The stream's packets arrive in file order and are held one group of
// pictures at a time (a group starts at a clean key frame: an IDR picture).
// When the next group begins the held one is settled: dropped when nothing of
// it lies inside the cut, copied when all of it does (or, at the end, when the
// pictures before the end mark are the first ones decoded), re-encoded
// otherwise. A group that does not start cleanly (where reading began, or open
// groups of pictures) is re-encoded as its packets come rather than held. The
// re-encoded H.264 pictures carry parameter sets with ids of their own,
// written beside the source's in the stream's description (avcC, for MP4 and
// Matroska) or sent in-band (MPEG-TS), so one stream holds both; H.265's,
// which share the source's ids, are sent in-band before the pictures that use
// them and the source's are sent again at each join (MPEG-TS, and MP4 under
// the sample entry 'hev1'); in Matroska, whose one description cannot hold
// both, the edges are coded with the x265 settings the source names, so that
// they write its very parameter sets (where they do). VP9 has
// no parameter sets and shows its pictures in the order they come: every key
// frame is a clean start and only the head is re-encoded. MPEG-2 and MPEG-4
// Part 2 carry their headers (sequence header; VOS, VO and VOL) in the
// stream: the edges' encoder writes its own before each of its key frames,
// and the source's rule again from the first copied key frame, which carries
// them or gets the description's sent in front of it; a key frame is a clean
// start where no picture of its group needs the group before it (MPEG-2: the
// I picture after a group header is shown first; MPEG-4: no B pictures, or a
// closed group), and the edges are coded at a fixed quantiser. AV1 is joined
// like VP9, by an encoder found to write the source's own sequence header,
// which the copy's description holds too (the one header a decoder is told
// of). A source the encoder cannot match is re-encoded whole with the same
// codec; the reason goes to the log and to the cut's report.
//
// Ownership: made by the run (Transcoder.h) for one output stream; borrows the
// run, the stream records and the report; owns its decoders and encoders.
// Threads: the task's worker, like the rest of the run.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "binding/AVPtr.h"
#include "engine/core/TaskRecords.h"

namespace kelvane {

class TTranscoder;
struct TInputStreamState;
namespace smart_cut {
class TPictureClock;
}
struct TOutputStreamState;

// What is known of a source's video stream besides its parameters: the
// stream, and the AV1 sequence header its key frames carry (which the
// stream's description may not repeat exactly).
struct TSmartSource {
  const AVStream* Stream = nullptr;
  std::vector<uint8_t> Av1Header;
};

// Why a smart copy of a video stream described by `par` into `format` has to
// re-encode it whole; empty when the edges can be re-encoded to match. The
// one set of rules for the run (TSmartVideo) and for what a window says
// before it (ForecastSmartCut). AV1's encoders are tried on a picture to see
// whether they write the source's sequence header, given `source` (once per
// source; without it only the container is looked at).
std::string SmartCutObstacle(const AVCodecParameters* par, const AVOutputFormat* format,
                             const TSmartSource* source = nullptr);

// What a smart copy will do, worked out before it runs.
struct TSmartCutForecast {
  std::string Error;        // the input could not be read; nothing else is known
  std::string WholeReason;  // not empty: the video is re-encoded whole, for this reason
  double HeadSeconds = 0;   // re-encoded from the start mark to the first clean key frame
  double TailSeconds = 0;   // re-encoded from the last clean key frame to the end mark
};

// The smart copy of `input`'s video from `start_us` to `end_us` (the input's
// time line from 0; `end_us` INT64_MAX: to its end) into a file named like
// `output_name`: the same rules as the run, and the clean key frames (IDR
// pictures) near the marks, read from the packets without decoding them.
// Any thread; opens the input on its own.
TSmartCutForecast ForecastSmartCut(const std::string& input, const std::string& output_name,
                                   int64_t start_us, int64_t end_us);
// ForecastSmartCut of each of `cuts` (start, end µs) of one input, opened
// once; the forecasts in the cuts' order.
std::vector<TSmartCutForecast> ForecastSmartCuts(
    const std::string& input, const std::string& output_name,
    const std::vector<std::pair<int64_t, int64_t>>& cuts);

// What the check of a smart copy found of its copied pictures.
struct TCopyProof {
  std::string Problem;  // a file could not be read; nothing else is known
  // The output's pictures whose coded data is byte for byte that of a
  // source's picture within the cut: for H.264 and H.265 their slices (the
  // delimiters and parameter sets a muxer or a join puts beside them aside),
  // for MPEG-2 and MPEG-4 Part 2 from their group or picture header on, for
  // other codecs the whole packet.
  int64_t Identical = 0;
  int64_t OutputPackets = 0;  // the output's packets holding a picture
};

// Compares the pictures' packets of `output`, the smart copy of `source` from
// `start_us` to `end_us` (-1: its end), with the source's packets in that
// stretch, without decoding either. `stop`, when set, ends the reading early
// (Problem then says so). Any thread; opens both files on its own.
TCopyProof ProveCopiedPackets(const std::string& source, const std::string& output,
                              int64_t start_us, int64_t end_us,
                              const std::atomic<bool>* stop = nullptr);

// The same for a joined file made of the source's stretches `parts` (start
// and end µs each, as above), in order.
TCopyProof ProveCopiedParts(const std::string& source, const std::string& output,
                            const std::vector<std::pair<int64_t, int64_t>>& parts,
                            const std::atomic<bool>* stop = nullptr);

class TSmartVideo {
 public:
  // `start` and `end`: the cut on the input's time line (µs); `end` INT64_MAX
  // for a cut that runs to the end of the input. `whole_lines`: how a cut
  // that cannot be copied in part is re-encoded (TRunSettings::smart_reencode).
  TSmartVideo(TTranscoder& run, TOutputStreamState& ost, TInputStreamState& ist, int64_t start,
              int64_t end, const std::vector<std::string>& whole_lines, const void* log_sender,
              TCutReport& report);
  ~TSmartVideo();
  TSmartVideo(const TSmartVideo&) = delete;
  TSmartVideo& operator=(const TSmartVideo&) = delete;

  // Before the output's header: decides between a smart copy and a whole
  // re-encode and gives the output stream its parameters.
  void SetUp();
  // One packet of the source stream, in file order.
  void Packet(const AVPacket* packet);
  // The end of the source's packets: settles the last group and drains.
  void Finish();

  // A joined file: the part read so far ends (its last group settled, its
  // edge drained) and the next one follows in the same stream, from `start`
  // to `end` (µs of the run's time line, which already places each part after
  // the one before). Its packets come from the source opened again, whose
  // stream is like the first one's; they are written through `ost`, that
  // part's record of the output stream, at their times on the run's line.
  void NextPart(TOutputStreamState& ost, int64_t start, int64_t end);
  // The part read so far ends: its last group settled, its edge drained.
  void EndPart();
  // Whether a packet read reaches past the end of the part (its decoding
  // time is at or after it): every picture of the part has come.
  bool PastEnd() const { return past_end_; }

  // Whether the cut re-encodes everything (the source could not be matched).
  bool Whole() const { return whole_; }
  // The time of the cut's first picture (µs of input time), which becomes
  // the output's 0 for every stream; AV_NOPTS_VALUE until it is known.
  int64_t Zero() const { return zero_us_; }
  // The length of one picture (µs), from the stream's frame rate; 0 unknown.
  int64_t PictureDuration() const;

 private:
  // The source's codec, which says how its edges are encoded and joined.
  enum class TCodec {
    H264,   // parameter sets of the edges' own ids beside the source's
    H265,   // parameter sets sharing the source's ids, sent in turn in the stream
    Vp9,    // no parameter sets; pictures in the order they are shown
    Mpeg2,  // headers in the stream: each side's own before its key frames
    Mpeg4,  // the same (VOS, VO and VOL)
    Av1,    // as VP9, coded under the source's very sequence header
  };
  struct TGroup {
    std::vector<AVPacketPtr> Packets;
    bool Clean = false;  // starts at a picture that needs nothing before it
    int64_t Bytes = 0;
  };
  // The most of a group held before it is re-encoded as it comes.
  static constexpr int64_t kMaxHeldBytes = int64_t(256) << 20;

  std::string Unmatched();  // why the source cannot be matched; empty when it can
  // H.264 or H.265: NAL units and parameter sets to join.
  bool Nal() const { return codec_ == TCodec::H264 || codec_ == TCodec::H265; }
  std::string UnmatchedAv1();  // the same for AV1 (SmartCutAv1.cpp)
  // Why the cut holds no group of pictures to copy (it lies within one, or
  // its key frames are no clean start), read ahead from the source; empty
  // when it holds one.
  std::string NoCleanGroup();
  // `quality`: the edge encoder's constant quality (EdgeQuality).
  AVCodecContextPtr MakeEncoder(double quality, bool for_whole);
  void SetEdgeOptions(AVCodecContext* c, double quality);  // an edge encoder's, per codec
  // `export_quantisers`: the decoded pictures carry the quantisers they were coded with.
  AVCodecContextPtr MakeDecoder(bool export_quantisers = false);
  // The constant quality an edge is coded at, on the edge encoder's own scale
  // (libx264's and libx265's crf, libvpx-vp9's cq level), a little finer than
  // the source's: from the quantisers `group`'s pictures were coded with
  // (decoded once for it), else from a trial of its first pictures, else (no
  // group held) the last group's or what `bit_rate` buys (SmartCutQuality.cpp).
  double EdgeQuality(const TGroup* group, int64_t bit_rate);
  // An edge re-encoded as its packets come: the quality of the pictures
  // decoded up to the cut's first (NoteQuantiser), else as EdgeQuality says.
  double StreamedQuality();
  void NoteQuantiser(const AVFrame* frame);
  double Settled(double quality, const char* from);  // kept in range, logged, remembered
  double FinerSteps() const;  // how much finer than the source's an edge is coded
  int SourceDepth() const;  // bits of the source's luma samples
  double GroupQuantiser(const TGroup& group, std::vector<AVFramePtr>& first);
  int64_t SourceBytes(const TGroup& group, const std::vector<AVFramePtr>& pictures) const;
  double TrialQuality(const std::vector<AVFramePtr>& pictures, int64_t source_bytes);
  double RateQuality(int64_t bit_rate) const;
  int64_t PictureBytes(const AVPacket* packet) const;  // its coded slices only
  void SetUpWhole(const std::string& reason);
  void SetUpSmart();
  void Settle(TGroup& group, int64_t next_dts);
  void CopyPackets(TGroup& group, size_t count);
  void Reencode(TGroup& group, int64_t next_dts);
  // One re-encoded stretch: a decoder and an encoder fed packet by packet;
  // the last encoded packets wait for the decoding time of what follows.
  // `quality` < 0: the encoder opens at the cut's first picture, at
  // StreamedQuality (`bit_rate`: the source's, should nothing else tell).
  void StartEdge(double quality, int64_t bit_rate = 0);
  void OpenEdgeEncoder(double quality);
  bool FeedEdge(const AVPacket* packet);  // false when the packet does not decode
  void EndEdge(int64_t next_dts);
  void Encode(AVCodecContext* enc, AVFrame* frame, std::vector<AVPacketPtr>& out);
  void WriteEncoded(AVPacket* packet);
  void Write(AVPacket* packet);
  void WholePacket(const AVPacket* packet);
  void DrainWhole(std::vector<AVPacketPtr>& encoded);
  void HoldPacket(const AVPacket* packet);
  bool IsCleanStart(const AVPacket* packet) const;
  bool InCut(int64_t pts) const;  // pts in the source stream's time base
  void SetZero(int64_t pts);       // source time base

  TTranscoder& run_;
  TOutputStreamState& ost_;
  TInputStreamState& ist_;
  int64_t start_ = 0;  // source time base
  int64_t end_ = 0;
  int64_t zero_ = AV_NOPTS_VALUE;  // source time base
  int64_t zero_us_ = AV_NOPTS_VALUE;
  std::vector<std::string> whole_lines_;
  const void* sender_;
  TCutReport& report_;

  bool whole_ = false;
  TCodec codec_ = TCodec::H264;
  bool annexb_ = false;     // the source's packets carry start codes (MPEG-TS)
  int length_size_ = 4;     // NAL length field of avcC packets
  int parameter_id_ = 0;    // SPS/PPS id of the re-encoded pictures
  int64_t source_delay_ = 0;
  // H.265 whose edges must write the source's parameter sets: the x265
  // settings that do (X265SourceParams); empty otherwise.
  std::string x265_params_;
  double last_quality_ = -1;  // the last measured group's edge quality; -1 none yet
  int64_t edge_rate_ = 0;     // a streamed edge's: the source's bit rate
  double edge_quantisers_ = 0;  // and the sum and count of its pictures' quantisers so far
  int edge_pictures_ = 0;
  std::vector<uint8_t> encoder_headers_;  // the first encoder's parameter sets
  std::vector<uint8_t> source_headers_;   // the source's, Annex B, for MPEG-TS joins
  std::unique_ptr<smart_cut::TPictureClock> clock_;  // MPEG-2: the times packets lack
  // An encoder counting one tick a picture (MPEG-2): the source time of its
  // first picture, from which its ticks count.
  int64_t tick_origin_ = AV_NOPTS_VALUE;
  // AV1: the sequence header of the source's key frames, and the edge
  // encoder that writes it (SmartCutAv1.cpp).
  std::vector<uint8_t> av1_header_;
  std::string av1_encoder_;
  std::vector<std::pair<std::string, std::string>> av1_options_;
  bool started_ = false;    // a group has begun
  bool past_end_ = false;   // a packet was decoded at or after the end
  TOutputStreamState* part_ost_ = nullptr;  // a joined part's output stream record
  bool clean_in_cut_ = false;  // a clean group held pictures of the cut
  bool unclean_keys_ = false;  // key frames that are no clean start were seen
  bool long_group_ = false;    // a group was too long to hold
  bool encoded_last_ = false;
  int64_t last_dts_ = INT64_MIN;  // output time base units
  TGroup group_;
  static constexpr size_t kHeldEdgePackets = 64;
  AVCodecContextPtr edge_decoder_;
  AVCodecContextPtr edge_encoder_;
  std::deque<AVPacketPtr> edge_packets_;
  bool edge_wrote_ = false;
  std::string whole_settings_;  // the whole re-encode's encoder and options, as said
  AVCodecContextPtr whole_decoder_;
  AVCodecContextPtr whole_encoder_;
  AVFramePtr frame_;
};

}  // namespace kelvane
