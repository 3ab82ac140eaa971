// The radio groups of " Parts Information " and "Mode" as start-up leaves
// them: caption, items, columns and selection, blanks included.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Harness.h"

namespace nimbrel::testing {
namespace {

struct GroupRow {
  const char* name;
  std::string caption;
  std::vector<std::string> items;
  int columns;
  int selected;  // after start-up; -1 none
};

const std::string kTheta = "\xA5\xE8";  // θ in the program's 8-bit texts

const GroupRow kGroups[] = {
    {"rgLOT", "LOT", {"AA v1", "AA v2", "AB", "AC", "AD", "AE", "AF", "AG", "AH", "AJ"}, 3, -1},
    {"rgStepMotor", " step motor ", {"screw", "wm 20mm", "sst 10mm", "ws 10mm(~AG)", "ws 10mm(AH)", "SAEHAN"}, 3, 3},
    {"rgMainBoard", "main board  ", {"corebd2.0", "mainbd 1.x", "mainbd 2.0"}, 3, 2},
    {"rgPowerBoard", "power board  ", {"STK672", "SLA7078"}, 2, 0},
    {"rgROHSLCD", "ROHS LCD", {"no", "yes"}, 1, 1},
    {"rgAGDoor", "tray type", {"old", "AG", "AH"}, 1, 1},
    {"rgFTheta", "f-" + kTheta, {"no", "yes"}, 1, 1},
    // Item 0 in the form; start-up clears it.
    {"rgMode",
     "Mode",
     {"boot loader", "GUI resources", "solution", "update backup  file", "default System Info", "FPGA",
      "calibration data"},
     1,
     -1},
};

const ui::TRadioGroup& Group(const app::TfrmMain& f, const std::string& name) {
  const ui::TRadioGroup* groups[] = {&f.rgLOT,    &f.rgStepMotor, &f.rgMainBoard, &f.rgPowerBoard,
                                     &f.rgROHSLCD, &f.rgAGDoor,    &f.rgFTheta,    &f.rgMode};
  for (const ui::TRadioGroup* g : groups)
    if (g->Name() == name) return *g;
  ADD_FAILURE() << "no group " << name;
  return f.rgMode;
}

TEST(WindowGroups, PartsInformationAndModeAsStartUpLeavesThem) {
  Harness h;
  h.workDir.Touch("factory_mode");  // the whole window, as the panel is shown
  const auto& f = h.Start();
  EXPECT_EQ(f.GroupBox1.Caption(), " Parts Information ");
  for (const GroupRow& row : kGroups) {
    SCOPED_TRACE(row.name);
    const ui::TRadioGroup& g = Group(f, row.name);
    EXPECT_EQ(g.Caption(), row.caption);
    EXPECT_EQ(g.Items(), row.items);
    EXPECT_EQ(g.Columns(), row.columns);
    EXPECT_EQ(g.ItemIndex(), row.selected);
  }
}

}  // namespace
}  // namespace nimbrel::testing
