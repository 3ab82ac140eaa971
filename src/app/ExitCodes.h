#pragma once
// How a run of the program ended, as its exit code. An unattended run (-S)
// leaves with the code of what happened to it; a run that the operator
// closes leaves with 0 whatever it did.

#include <array>

namespace nimbrel::app {

inline constexpr int kExitUpdated = 0;
inline constexpr int kExitBadCommandLine = 2;
inline constexpr int kExitNoScanner = 3;
inline constexpr int kExitUnitRefused = 4;
inline constexpr int kExitSequenceStopped = 5;
inline constexpr int kExitSecondInstance = 6;

struct ExitCodeMeaning {
  int code;
  const char* meaning;
};

// The table that --help prints and the README repeats.
inline constexpr std::array<ExitCodeMeaning, 6> kExitCodeTable{{
    {kExitUpdated, "every stage of the update ran (or the operator closed the window)"},
    {kExitBadCommandLine, "bad command line"},
    {kExitNoScanner, "no scanner found"},
    {kExitUnitRefused, "unit not supported, or refused at the part-number check"},
    {kExitSequenceStopped,
     "the update stopped before its end (USB could not be reopened, no answer in time, a missing image, "
     "the link lost)"},
    {kExitSecondInstance, "another instance is running"},
}};

}  // namespace nimbrel::app
