#include "ui/Dialogs.h"

namespace nimbrel::ui {

int ScriptedDialogs::MessageBox(const MessageBoxRequest& request) {
  messages_.push_back(request);
  if (!messageAnswers_.empty()) {
    const int answer = messageAnswers_.front();
    messageAnswers_.pop_front();
    return answer;
  }
  return request.buttons == MsgButtons::YesNo ? IDNO : IDOK;
}

std::optional<std::string> ScriptedDialogs::OpenFile(const OpenFileRequest& request) {
  fileRequests_.push_back(request);
  if (fileAnswers_.empty()) return std::nullopt;
  auto answer = std::move(fileAnswers_.front());
  fileAnswers_.pop_front();
  return answer;
}

int ScriptedDialogs::ShowUnitTypeDialog(UnitTypeChooser& dialog) {
  ++unitTypeShowings_;
  if (unitTypeAnswers_.empty()) return kModalCancel;
  const UnitTypeAnswer answer = unitTypeAnswers_.front();
  unitTypeAnswers_.pop_front();
  if (answer.select) dialog.SetSelectedIndex(*answer.select);
  return answer.modalResult;
}

}  // namespace nimbrel::ui
