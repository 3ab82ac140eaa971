// Identification of the connected unit from its greeting.

#include "app/TfrmMain.h"
#include "unit/PartNumber.h"

namespace nimbrel::app {

void TfrmMain::IdentifyUnit(const protocol::Frame& greeting) {
  const unit::PnField pn = unit::PnField::FromRecord(greeting);
  switch (unit::ClassifyPn(pn)) {
    case unit::PnClass::Malformed:
      LogLine("unknown model");
      LogLine("please restart device and program");
      btnAutoUpload.SetEnabled(false);
      break;
    case unit::PnClass::Factory:
      if (MessageBox("pn is factory pn\nif you want to conntiue click \"Yes\"", "invalid pn", ui::MsgIcon::Question,
                     ui::MsgButtons::YesNo) == ui::IDYES) {
        LogLine("factory pn -> regards to latest model");
        rgFPGA.SetItemIndex(unit::kLatestUnitType);
        rgLOT.SetItemIndex(unit::kLatestUnitType);
      } else {
        LogLine("factory pn");
        LogLine("please restart device and program");
        btnAutoUpload.SetEnabled(false);
      }
      break;
    case unit::PnClass::Regular: {
      const unit::ModelLookup model = unit::LookupModel(pn);
      LogLine(model.line);
      rgFPGA.SetItemIndex(model.unitType);
      break;
    }
  }
}

bool TfrmMain::IsSupportedUnit(const unit::PnField& pn) const {
  if (MarkerExists("gui_test") || MarkerExists("gui_test.txt")) return true;
  if (pn.Empty()) return false;
  return unit::HasSupportedPnPrefix(pn);
}

}  // namespace nimbrel::app
