// How the window's logic talks to the user: message boxes, a yes/no question
// and the folder picker. The Qt window shows real dialogs, the command line
// prints and answers from its arguments, tests record and answer.
//
// Threads: called on the main thread only.
#pragma once

#include <optional>
#include <string>

namespace kelvane {

class TMessageSink {
 public:
  virtual ~TMessageSink() = default;
  // A modal box with an OK button and the information icon. Inside `text` a
  // line break is "\n\r"; a front end shows the text as PlainMessage
  // (TextUtils.h) makes it.
  virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
  // The application's error box: stop icon, OK button.
  virtual void ShowError(const std::string& caption, const std::string& text) = 0;
  // A question with Yes and No buttons and the question icon; true for Yes.
  virtual bool Confirm(const std::string& caption, const std::string& text) = 0;
  // A folder picker showing folders only under `headline`; nothing when the
  // user cancels.
  virtual std::optional<std::string> ChooseFolder(const std::string& headline) = 0;
};

}  // namespace kelvane
