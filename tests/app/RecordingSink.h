// A message sink for tests: records every box and answers questions and the
// folder picker as told.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/MessageSink.h"

namespace kelvane::test {

struct TShownMessage {
  std::string kind;  // "message", "error", "confirm", "folder"
  std::string caption;
  std::string text;
};

class TRecordingSink : public TMessageSink {
 public:
  void ShowMessage(const std::string& caption, const std::string& text) override {
    shown.push_back({"message", caption, text});
  }
  void ShowError(const std::string& caption, const std::string& text) override {
    shown.push_back({"error", caption, text});
  }
  bool Confirm(const std::string& caption, const std::string& text) override {
    shown.push_back({"confirm", caption, text});
    return confirm_answer;
  }
  std::optional<std::string> ChooseFolder(const std::string& headline) override {
    shown.push_back({"folder", "", headline});
    return folder_answer;
  }

  // The texts of the boxes of one kind, in order.
  std::vector<std::string> Texts(const std::string& kind = "message") const {
    std::vector<std::string> texts;
    for (const auto& m : shown) {
      if (m.kind == kind) texts.push_back(m.text);
    }
    return texts;
  }

  std::vector<TShownMessage> shown;
  bool confirm_answer = true;
  std::optional<std::string> folder_answer;
};

}  // namespace kelvane::test
