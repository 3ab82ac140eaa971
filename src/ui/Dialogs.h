#pragma once
// Modal dialogs as the handlers see them.
//
// The program shows real modal, topmost, owner-less boxes; tests answer them
// from a script and assert on what was asked. Texts are 8-bit texts as the
// handlers give them.

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel::ui {

enum class MsgIcon { None, Information, Warning, Error, Question };
enum class MsgButtons { Ok, YesNo };

// Answers, numbered as the platform's message-box results.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

struct MessageBoxRequest {
  std::string text;
  std::string caption;
  MsgIcon icon = MsgIcon::None;
  MsgButtons buttons = MsgButtons::Ok;
  bool topmost = true;
};

struct OpenFileRequest {
  std::string filter;            // "description|patterns|description|patterns"
  std::string defaultExtension;  // e.g. "*.dmp"
};

// The unit-type dialog as the caller sees it: its "Scanner Base" selection
// and its modal result.
class UnitTypeChooser {
 public:
  virtual ~UnitTypeChooser() = default;
  virtual int SelectedIndex() const = 0;
  virtual void SetSelectedIndex(int index) = 0;
};

inline constexpr int kModalOk = 1;
inline constexpr int kModalCancel = 2;

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Shows a message box and returns the answer (IDOK, IDYES or IDNO).
  virtual int MessageBox(const MessageBoxRequest& request) = 0;
  // Runs the open-file dialog; the chosen path, or nothing when cancelled.
  virtual std::optional<std::string> OpenFile(const OpenFileRequest& request) = 0;
  // Shows the unit-type dialog modally; returns its modal result
  // (kModalOk, kModalCancel; the close box gives kModalCancel).
  virtual int ShowUnitTypeDialog(UnitTypeChooser& dialog) = 0;
};

// Dialogs answered from a script, for tests. Each kind of dialog takes its
// answers in order; a dialog with no scripted answer gets the default
// (IDOK / IDNO for Yes-No boxes, cancel for the file and unit-type dialogs).
class ScriptedDialogs final : public Dialogs {
 public:
  struct UnitTypeAnswer {
    int modalResult = kModalCancel;
    std::optional<int> select;  // selection the operator makes before answering
  };

  void AnswerMessage(int answer) { messageAnswers_.push_back(answer); }
  void AnswerOpenFile(std::optional<std::string> path) { fileAnswers_.push_back(std::move(path)); }
  void AnswerUnitType(UnitTypeAnswer answer) { unitTypeAnswers_.push_back(answer); }

  int MessageBox(const MessageBoxRequest& request) override;
  std::optional<std::string> OpenFile(const OpenFileRequest& request) override;
  int ShowUnitTypeDialog(UnitTypeChooser& dialog) override;

  const std::vector<MessageBoxRequest>& Messages() const { return messages_; }
  const std::vector<OpenFileRequest>& FileRequests() const { return fileRequests_; }
  int UnitTypeShowings() const { return unitTypeShowings_; }

 private:
  std::deque<int> messageAnswers_;
  std::deque<std::optional<std::string>> fileAnswers_;
  std::deque<UnitTypeAnswer> unitTypeAnswers_;
  std::vector<MessageBoxRequest> messages_;
  std::vector<OpenFileRequest> fileRequests_;
  int unitTypeShowings_ = 0;
};

}  // namespace nimbrel::ui
