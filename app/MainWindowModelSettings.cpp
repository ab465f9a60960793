// The window model's stored settings (LoadSettings, SaveSettings) and its
// format list and settings lists, refilled as the format and the quality
// levels change.
#include "app/MainWindowModel.h"

#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "app/Quality.h"
#include "app/SettingsLists.h"
#include "app/TextUtils.h"

namespace kelvane {

// ---- Stored settings ----

namespace {

// A list choice is stored as its text; earlier versions stored its index under
// the same name, which still reads. Nothing when the value is missing; -1 when
// the list has no such entry.
std::optional<int> ReadChoice(TSettingsStore& store, const std::string& name,
                              const TListModel& list) {
  if (auto text = store.ReadString(name)) {
    const int index = list.IndexOf(*text);
    if (index >= 0) return index;
  }
  if (auto index = store.ReadInteger(name)) {
    return *index >= 0 && *index < list.Count() ? *index : -1;
  }
  return std::nullopt;
}

// The stored format: by its text, or, from an older settings file, by its
// position in the list as it was then, which names the same entry today.
std::optional<int> ReadFormatChoice(TSettingsStore& store, const TListModel& list) {
  if (auto text = store.ReadString("ComboOutputFormat")) {
    const int index = list.IndexOf(*text);
    if (index >= 0) return index;
  }
  if (auto index = store.ReadInteger("ComboOutputFormat")) {
    const std::vector<std::string>& original = OriginalFormatList();
    if (*index < 0 || *index >= static_cast<int>(original.size())) return -1;
    return list.IndexOf(original[static_cast<size_t>(*index)]);
  }
  return std::nullopt;
}

// Selects the stored text's entry, when the list has it.
void SelectStored(TSettingsStore& store, const std::string& name, TListModel& list) {
  if (auto text = store.ReadString(name)) {
    const int index = list.IndexOf(*text);
    if (index >= 0) list.Select(index);
  }
}

// The levels a stored quality choice is read against: the quality lists hold
// the same levels for every format, or only "Same as source", which leaves
// the list's own choice.
TListModel StoredLevels() {
  TListModel levels;
  for (const std::string& level : QualityLevels()) levels.Add(level);
  levels.Add(kSameAsSource);
  return levels;
}

}  // namespace

std::vector<std::pair<const char*, TListModel*>> TMainWindowModel::DetailedLists() {
  return {{"Video Codec", &ComboVideoCodec},     {"Video Bitrate", &ComboVideoBitrate},
          {"Video Size", &ComboVideoSize},       {"Frame Rate", &ComboVideoFramerate},
          {"Audio Codec", &ComboAudioCodec},     {"Audio Bitrate", &ComboAudioBitrate},
          {"Sampling Rate", &ComboSamplingRate}, {"Audio Channels", &ComboAudioChannels}};
}

void TMainWindowModel::LoadSettings(TSettingsStore& store) {
  // Reading stops at the first of the nine first values that is missing.
  auto load = [&]() -> bool {
    EditOutputFolder = store.ReadString("Output Folder").value_or(std::string());
    Changed();
    auto format = ReadFormatChoice(store, ComboOutputFormat);
    if (!format) return false;
    // A stored format the list does not have counts as none at all.
    ComboOutputFormat.Select(*format < 0 ? ComboOutputFormat.IndexOf(DefaultFormat()) : *format);
    auto overwrite = store.ReadBool("Overwrite");
    if (!overwrite) return false;
    Overwrite = *overwrite;
    auto add_video = store.ReadBool("AddVideo");
    if (!add_video) return false;
    PlayImmediately = *add_video;
    auto letterbox = ReadChoice(store, "LetterBox", ComboLetterBox);
    if (!letterbox) return false;
    if (*letterbox >= 0) ComboLetterBox.Select(*letterbox);
    const TListModel levels = StoredLevels();
    auto level_of = [&](const std::optional<int>& index) {
      return *index < int(QualityLevels().size()) ? *index : -1;
    };
    auto video_quality = ReadChoice(store, "VideoQuality", levels);
    if (!video_quality) return false;
    auto audio_quality = ReadChoice(store, "AudioQuality", levels);
    if (!audio_quality) return false;
    lists_format_.clear();  // the lists afresh, as the format fills them
    ComboOutputFormatChange();
    SelectLevels(level_of(video_quality), level_of(audio_quality));
    auto top = store.ReadInteger("FormTop");
    if (!top) return false;
    if (*top >= 0) SavedTop = *top;
    auto left = store.ReadInteger("FormLeft");
    if (!left) return false;
    if (*left >= 0) SavedLeft = *left;
    // The detailed settings and the volume came later: a missing one leaves
    // the format's own choice.
    for (const auto& [name, list] : DetailedLists()) SelectStored(store, name, *list);
    ComboVideoSizeChange(ComboVideoSize);
    ComboVideoQualityChange(ComboVideoBitrate);
    ComboVideoQualityChange(ComboAudioBitrate);
    if (auto volume = store.ReadInteger("Volume"); volume && *volume >= 0 && *volume <= 200) {
      SpinVolume = *volume;
    }
    return true;
  };
  if (!load()) {
    ComboOutputFormat.Select(ComboOutputFormat.IndexOf(DefaultFormat()));
    lists_format_.clear();
    ComboOutputFormatChange();
    SelectLevels(NormalLevel(), NormalLevel());
    SavedTop = 5;
    SavedLeft = 150;
    SaveSettings(store);
  }
  Changed();
}

void TMainWindowModel::SaveSettings(TSettingsStore& store) {
  if (!store.WriteString("Output Folder", EditOutputFolder)) return;
  if (!store.WriteString("ComboOutputFormat", ComboOutputFormat.Text())) return;
  if (!store.WriteBool("Overwrite", Overwrite)) return;
  if (!store.WriteBool("AddVideo", PlayImmediately)) return;
  if (!store.WriteString("LetterBox", ComboLetterBox.Text())) return;
  if (!store.WriteString("VideoQuality", ComboVideoQuality.Text())) return;
  if (!store.WriteString("AudioQuality", ComboAudioQuality.Text())) return;
  if (!store.WriteInteger("FormTop", FormTop)) return;
  if (!store.WriteInteger("FormLeft", FormLeft)) return;
  for (const auto& [name, list] : DetailedLists()) {
    if (!store.WriteString(name, list->Text())) return;
  }
  store.WriteInteger("Volume", SpinVolume);
}

// ---- Format list and settings lists ----

void TMainWindowModel::FillLetterBoxList() {
  ComboLetterBox.Clear();
  ComboLetterBox.Add("None");
  ComboLetterBox.Add("Add LetterBox");
  ComboLetterBox.Select(1);
}

void TMainWindowModel::FillOutputFormats() {
  ComboOutputFormat.Clear();
  for (const std::string& entry : FormatList()) ComboOutputFormat.Add(entry);
  ComboOutputFormat.SetDropDownCount(20);
  ComboOutputFormat.Select(ComboOutputFormat.IndexOf(DefaultFormat()));
}

void TMainWindowModel::ComboOutputFormatChange() {
  const std::string text = ComboOutputFormat.Text();
  if (Contains(text, "  ") || Contains(text, "---")) {
    // A header or a blank entry: the previous format comes back.
    ComboOutputFormat.Select(LastFormatIndex);
    if (ComboOutputFormat.Text() == lists_format_) return;
  }
  ComboOutputFormat.SetDropDownCount(25);
  if (text == lists_format_) {
    // The format shown chosen again: its lists keep what was chosen in them.
    LastFormatIndex = ComboOutputFormat.ItemIndex();
    Changed();
    return;
  }
  FillSettingsLists();
  // The quality lists show the levels of the bitrates the format chose, so a
  // level means the same bitrate whichever way it was reached.
  ComboVideoQualityChange(ComboVideoBitrate);
  ComboVideoQualityChange(ComboAudioBitrate);
  Changed();
}

void TMainWindowModel::FillSettingsLists() {
  ComboVideoCodec.Clear();
  ComboVideoBitrate.Clear();
  ComboVideoSize.Clear();
  ComboVideoFramerate.Clear();
  ComboVideoSizeMirror.Clear();

  const Quality* row = FindPreset(ComboOutputFormat.Text());
  if (row != nullptr) ContainerName = row->Container;

  if (row != nullptr && row->Today) {
    FillTodayLists(*row->Today);
  } else if (!IsAudioOnly()) {
    if (row != nullptr) {
      FillVideoCodecs(*row, ComboVideoCodec);
      FillSizes(*row, ComboVideoSize);
      FillVideoBitrates(*row, ComboVideoBitrate);
      FillFrameRates(*row, ComboVideoFramerate);
    } else {
      ComboVideoSize.Select(0);
    }
    ComboVideoSizeMirror.Assign(ComboVideoSize);
  }
  if (row != nullptr && !row->Today) {
    FillAudioCodecs(*row, ComboAudioCodec);
    FillAudioBitrates(*row, ComboAudioBitrate);
    FillSampleRates(*row, ComboSamplingRate);
  }

  const bool same_as_source = row != nullptr && row->Today && row->Today->SameAsSource;
  for (TListModel* quality : {&ComboVideoQuality, &ComboAudioQuality}) {
    quality->Clear();
    if (same_as_source) {
      quality->Add(kSameAsSource);
      quality->Select(0);
      continue;
    }
    for (const std::string& level : QualityLevels()) quality->Add(level);
    quality->Select(NormalLevel());
  }

  if (row != nullptr && row->Today) {
    FillChoices(row->Today->Channels, ComboAudioChannels);
  } else {
    ComboAudioChannels.Clear();
    if (!IsMonoContainer(ContainerName)) ComboAudioChannels.Add("Stereo");
    ComboAudioChannels.Add("Mono");
    ComboAudioChannels.Select(0);
  }

  LastFormatIndex = ComboOutputFormat.ItemIndex();
  lists_format_ = ComboOutputFormat.Text();
  LockSameAsSourceLists();
}

void TMainWindowModel::ComboVideoQualityChange(const TListModel& changed) {
  const Quality* row = FindPreset(ComboOutputFormat.Text());
  const std::array<std::string, 5> none;
  const auto& video = row != nullptr ? row->VideoBitrates : none;
  const auto& audio = row != nullptr ? row->AudioBitrates : none;
  auto select = [](TListModel& list, int index) {
    if (index >= 0) list.Select(index);
  };
  if (row != nullptr && row->Today) {
    // A level is a constant quality, not a bit rate: choosing one lets the
    // quality rule again ("Auto (quality)"); a bit rate chosen leaves the level.
    if (&changed == &ComboVideoQuality && ComboVideoBitrate.Count() > 0) {
      ComboVideoBitrate.Select(0);
    }
  } else if (&changed == &ComboVideoQuality) {
    select(ComboVideoBitrate,
           BitrateEntryOfLevel(video, ComboVideoBitrate, ComboVideoQuality.ItemIndex()));
  }
  if (&changed == &ComboVideoBitrate && !(row != nullptr && row->Today)) {
    select(ComboVideoQuality,
           LevelOfBitrateEntry(video, ComboVideoBitrate, ComboVideoBitrate.ItemIndex()));
  }
  if (&changed == &ComboAudioBitrate) {
    select(ComboAudioQuality,
           LevelOfBitrateEntry(audio, ComboAudioBitrate, ComboAudioBitrate.ItemIndex()));
  }
  if (&changed == &ComboAudioQuality) {
    select(ComboAudioBitrate,
           BitrateEntryOfLevel(audio, ComboAudioBitrate, ComboAudioQuality.ItemIndex()));
  }
  VideoQualityIndex = ComboVideoQuality.ItemIndex();
  AudioQualityIndex = ComboAudioQuality.ItemIndex();
  Changed();
}

void TMainWindowModel::SelectLevels(int video, int audio) {
  if (video >= 0) ComboVideoQuality.Select(video);
  if (audio >= 0) ComboAudioQuality.Select(audio);
  ComboVideoQualityChange(ComboVideoQuality);
  ComboVideoQualityChange(ComboAudioQuality);
}

void TMainWindowModel::FillTodayLists(const TTodayFormat& format) {
  if (!IsAudioOnly()) {
    FillChoices(format.VideoCodecs, ComboVideoCodec);
    FillChoices(format.Sizes, ComboVideoSize);
    FillChoices(format.VideoBitrates, ComboVideoBitrate);
    FillChoices(format.FrameRates, ComboVideoFramerate);
    ComboVideoSizeMirror.Assign(ComboVideoSize);
  }
  FillChoices(format.AudioCodecs, ComboAudioCodec);
  FillChoices(format.AudioBitrates, ComboAudioBitrate);
  FillChoices(format.SampleRates, ComboSamplingRate);
}

int TMainWindowModel::NormalLevel() {
  const std::vector<std::string>& levels = QualityLevels();
  return static_cast<int>(std::find(levels.begin(), levels.end(), "Normal") - levels.begin());
}

void TMainWindowModel::ComboVideoSizeChange(const TListModel& changed) {
  if (&changed == &ComboVideoSize) ComboVideoSizeMirror.Select(ComboVideoSize.ItemIndex());
  if (&changed == &ComboVideoSizeMirror) ComboVideoSize.Select(ComboVideoSizeMirror.ItemIndex());
}

bool TMainWindowModel::IsAudioOnly() const { return IsAudioOnlyContainer(ContainerName); }

}  // namespace kelvane
