// Fuzz target "app-texts": what the user types and what the settings file
// gives back. An input holds, separated by zero bytes:
//   1. a mark text, read as the Start button reads the marks;
//   2. keys typed into the time-edit dialog, one byte each, applied as the
//      dialog applies the keys it lets through (backspace takes one back);
//   3. the nine stored values: per value a kind byte (missing, text, integer,
//      flag) and its bytes (a text runs to the next zero byte).
// The window reads the stored values and builds a split from the two marks.
// Besides crashes, it is a finding when an accepted mark is not a whole number
// of hundredths or does not come back from its own two-decimal form, when the
// dialog lets in a second point or a refused key without its hint, when a list
// shows an entry it does not have, or when a split is refused without a reason.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "app/MainWindowModel.h"
#include "tests/app/MemoryStore.h"
#include "tests/app/RecordingSink.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using namespace kelvane;

const char* const kStoredNames[] = {"Output Folder", "ComboOutputFormat", "Overwrite",
                                    "AddVideo",      "LetterBox",         "VideoQuality",
                                    "AudioQuality",  "FormTop",           "FormLeft"};

[[noreturn]] void Finding(const char* what, const std::string& text) {
  fprintf(stderr, "app-texts finding: %s: \"%s\"\n", what, text.c_str());
  std::abort();
}

void CheckMark(const std::string& text) {
  const auto ms = MarkToMilliseconds(text);
  if (!ms) return;
  if (*ms < 0 || *ms % 10 != 0) Finding("a mark that is no whole number of hundredths", text);
  char again[32];
  snprintf(again, sizeof again, "%" PRId32 ".%02" PRId32, *ms / 1000, *ms % 1000 / 10);
  if (MarkToMilliseconds(again) != ms) Finding("a mark that does not come back", text);
}

std::string TypeKeys(const std::string& keys) {
  std::string text;
  for (char key : keys) {
    std::string label;
    const bool allowed = TMainWindowModel::TimeEditKeyAllowed(text, key, label);
    if (allowed != label.empty()) Finding("a key without its hint", text + key);
    if (!allowed) continue;
    if (key == '\b') {
      if (!text.empty()) text.pop_back();
    } else {
      text += key;
    }
    if (text.find('.') != text.rfind('.')) Finding("a second point", text);
  }
  return text;
}

void FillStore(fuzz::TFuzzInput& input, test::TMemoryStore& store) {
  for (const char* name : kStoredNames) {
    switch (input.Byte() % 4) {
      case 1:
        store.values[name] = input.TextUpTo('\0');
        break;
      case 2: {
        const uint32_t high = input.Word();
        store.values[name] = static_cast<int32_t>(high << 16 | input.Word());
        break;
      }
      case 3:
        store.values[name] = (input.Byte() & 1) != 0;
        break;
      default:
        break;
    }
  }
}

void CheckList(const TListModel& list, const char* what) {
  if (list.ItemIndex() < -1 || list.ItemIndex() >= list.Count()) Finding("a list beyond its end", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzInput input(data, size);
  const std::string mark = input.TextUpTo('\0');
  CheckMark(mark);
  const std::string typed = TypeKeys(input.TextUpTo('\0'));
  CheckMark(typed);
  test::TMemoryStore store;
  FillStore(input, store);

  test::TRecordingSink sink;
  TMainWindowModel model(sink);
  model.FormCreate("");
  model.LoadSettings(store);
  for (const TListModel* list : {&model.ComboOutputFormat, &model.ComboVideoQuality,
                                 &model.ComboAudioQuality, &model.ComboLetterBox,
                                 &model.ComboVideoSize, &model.ComboVideoBitrate}) {
    CheckList(*list, "after reading the stored values");
  }
  if (model.LastFormatIndex < 0 || model.LastFormatIndex >= model.ComboOutputFormat.Count()) {
    Finding("a stored format the list does not have", std::to_string(model.LastFormatIndex));
  }
  model.StartMarkText = mark;
  model.EndMarkText = typed;
  TSplitPlan plan;
  std::string message;
  if (!BuildSplitPlan(model.MakeSplitJob(), plan, message) && message.empty()) {
    Finding("a split refused without a reason", mark + " - " + typed);
  }
  fuzz::RestoreProcessState();
  return 0;
}
