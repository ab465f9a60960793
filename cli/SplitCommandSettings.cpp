#include "cli/SplitCommandSettings.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "app/Quality.h"
#include "app/SettingsLists.h"
#include "app/TextUtils.h"
#include "binding/Text.h"
#include "cli/SplitCommand.h"

namespace kelvane::cli {

void PrintError(FILE* err, const std::string& text) {
  fprintf(err, "kelvane-split: %s\n", PlainMessage(text).c_str());
}

namespace {

std::string JoinEntries(const TListModel& list) {
  std::string text;
  for (const std::string& item : list.Items()) {
    const std::string entry = Trim(item);
    if (entry.empty()) continue;
    text += "\n  " + entry;
  }
  return text;
}

// Selects the entry `wanted` names in `list`; false with a message listing the
// valid entries.
bool SelectEntry(TListModel& list, const std::string& what, const std::string& wanted,
                 FILE* err) {
  const int index = MatchEntry(list.Items(), wanted);
  if (index < 0) {
    if (list.Count() == 0) {
      PrintError(err, "the chosen format has no " + what + " to choose from");
    } else {
      PrintError(err, "unknown " + what + " '" + wanted + "'; valid entries:" + JoinEntries(list));
    }
    return false;
  }
  list.Select(index);
  return true;
}

// The format the command line names, or the default one; returns an exit
// status, or -1 to go on.
int ChooseFormat(TMainWindowModel& model, const TCliOptions& options, const TInput& input,
                 FILE* err) {
  // Without one, the format a new user of the window starts with: the most widely playable.
  const std::string wanted = options.Format ? *options.Format : std::string(DefaultFormat());
  const int index = MatchEntry(model.ComboOutputFormat.Items(), wanted);
  if (index < 0 || FindPreset(model.ComboOutputFormat.Item(index)) == nullptr) {
    std::string valid;
    for (const std::string& entry : model.ComboOutputFormat.Items()) {
      if (FindPreset(entry) != nullptr) valid += "\n  " + entry;
    }
    PrintError(err, "unknown format '" + wanted + "'; valid formats:" + valid);
    return kExitUsage;
  }
  model.ComboOutputFormat.Select(index);
  model.ComboOutputFormatChange();
  if (input.AudioOnly && !model.IsAudioOnly()) {
    std::string valid;
    for (const std::string& entry : model.ComboOutputFormat.Items()) {
      const Quality* row = FindPreset(entry);
      if (row != nullptr && IsAudioOnlyContainer(row->Container)) valid += "\n  " + entry;
    }
    PrintError(err, options.InputFile +
                        " has no pictures; name an audio-only format with --format:" + valid);
    return kExitUsage;
  }
  return -1;
}

}  // namespace

// The format and the settings lists as the command line names them; returns
// an exit status, or -1 to go on.
int ChooseSettings(TMainWindowModel& model, const TCliOptions& options, const TInput& input,
                   FILE* err) {
  // The format first: it refills every settings list.
  if (const int status = ChooseFormat(model, options, input, err); status >= 0) return status;
  // Quality levels set the bitrate lists; an explicit bitrate is chosen after them.
  if (options.VideoQuality) {
    if (!SelectEntry(model.ComboVideoQuality, "video quality", *options.VideoQuality, err)) {
      return kExitUsage;
    }
    model.ComboVideoQualityChange(model.ComboVideoQuality);
  }
  if (options.AudioQuality) {
    if (!SelectEntry(model.ComboAudioQuality, "audio quality", *options.AudioQuality, err)) {
      return kExitUsage;
    }
    model.ComboVideoQualityChange(model.ComboAudioQuality);
  }
  struct TListChoice {
    const std::optional<std::string>& wanted;
    TListModel& list;
    const char* what;
  };
  const TListChoice choices[] = {
      {options.VideoCodec, model.ComboVideoCodec, "video codec"},
      {options.VideoBitrate, model.ComboVideoBitrate, "video bitrate"},
      {options.FrameRate, model.ComboVideoFramerate, "frame rate"},
      {options.AudioCodec, model.ComboAudioCodec, "audio codec"},
      {options.AudioBitrate, model.ComboAudioBitrate, "audio bitrate"},
      {options.SampleRate, model.ComboSamplingRate, "sample rate"},
      {options.Channels, model.ComboAudioChannels, "channel setting"},
  };
  for (const TListChoice& choice : choices) {
    if (choice.wanted && !SelectEntry(choice.list, choice.what, *choice.wanted, err)) {
      return kExitUsage;
    }
  }
  if (options.Size) {
    if (!SelectEntry(model.ComboVideoSize, "size", *options.Size, err)) return kExitUsage;
    model.ComboVideoSizeChange(model.ComboVideoSize);
  }
  if (options.Letterbox) {
    const std::string value = LowerCase(Trim(*options.Letterbox));
    if (value == "yes" || value == "on" || value == "1") {
      model.ComboLetterBox.Select(1);
    } else if (value == "no" || value == "off" || value == "0") {
      model.ComboLetterBox.Select(0);
    } else if (!SelectEntry(model.ComboLetterBox, "letterbox setting", *options.Letterbox, err)) {
      return kExitUsage;
    }
  }
  return -1;
}

// --list-entries: what an option that names a list entry accepts, one a line,
// for the format the command line names; the formats themselves without their
// group headers.
int PrintListEntries(TMainWindowModel& model, const TCliOptions& options, FILE* out, FILE* err) {
  static const std::pair<const char*, TListModel TMainWindowModel::*> kLists[] = {
      {"format", &TMainWindowModel::ComboOutputFormat},
      {"video-codec", &TMainWindowModel::ComboVideoCodec},
      {"video-bitrate", &TMainWindowModel::ComboVideoBitrate},
      {"size", &TMainWindowModel::ComboVideoSize},
      {"frame-rate", &TMainWindowModel::ComboVideoFramerate},
      {"audio-codec", &TMainWindowModel::ComboAudioCodec},
      {"audio-bitrate", &TMainWindowModel::ComboAudioBitrate},
      {"sample-rate", &TMainWindowModel::ComboSamplingRate},
      {"channels", &TMainWindowModel::ComboAudioChannels},
      {"video-quality", &TMainWindowModel::ComboVideoQuality},
      {"audio-quality", &TMainWindowModel::ComboAudioQuality},
      {"letterbox", &TMainWindowModel::ComboLetterBox},
  };
  std::string name = options.ListEntries;
  if (name.rfind("--", 0) == 0) name.erase(0, 2);
  const auto* found = std::find_if(std::begin(kLists), std::end(kLists),
                                   [&](const auto& list) { return name == list.first; });
  if (found == std::end(kLists)) {
    std::string valid;
    for (const auto& list : kLists) valid += std::string("\n  ") + list.first;
    PrintError(err, "--list-entries knows no list '" + options.ListEntries + "'; valid lists:" +
                        valid);
    return kExitUsage;
  }
  if (const int status = ChooseSettings(model, options, TInput{}, err); status >= 0) return status;
  for (const std::string& item : (model.*(found->second)).Items()) {
    const std::string entry = Trim(item);
    // The format list's group headers and gaps are no formats.
    if (entry.empty() || (name == "format" && FindPreset(item) == nullptr)) continue;
    fprintf(out, "%s\n", entry.c_str());
  }
  return kExitSuccess;
}

}  // namespace kelvane::cli
