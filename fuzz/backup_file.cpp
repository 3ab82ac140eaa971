// backup.dmp of arbitrary content and length in the program's folder,
// through the standard-value patch (in place), the System Info upload
// (read, patched to the hardware options and sent) and the backup (which
// replaces it).

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

#include "FuzzWindow.h"
#include "protocol/ControlFrame.h"
#include "unit/BackupPatch.h"
#include "update/PayloadCatalogue.h"

namespace {

using namespace nimbrel;
using Bytes = std::vector<std::uint8_t>;

fuzz::FuzzWindow& Window() {
  static fuzz::FuzzWindow window;
  return window;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzWindow& w = Window();
  app::TfrmMain& f = w.Next();
  if (!w.usb().Active()) w.usb().SetActive(true);
  const std::string path = w.exeDir().File(unit::kBackupFileName);
  WriteFile(path, data, size);
  const Bytes original(data, data + size);

  // The patch rewrites the first 512 bytes of a file that has them, in
  // place, with what it makes of them in memory; it leaves the rest, and
  // a shorter file, as they were.
  f.btnPatchClick(nullptr);
  const Bytes patched = ReadFile(path);
  NIMBREL_FUZZ_CHECK(patched.size() == size);
  if (size < 512) {
    NIMBREL_FUZZ_CHECK(patched == original);
  } else {
    Bytes head(original.begin(), original.begin() + 512);
    f.PatchStandardValues(head);
    NIMBREL_FUZZ_CHECK(std::equal(head.begin(), head.end(), patched.begin()));
    NIMBREL_FUZZ_CHECK(std::equal(original.begin() + 512, original.end(), patched.begin() + 512));
  }

  // The upload sends the whole file, patched only where the record's
  // patched fields lie; a file too short for them is refused unsent.
  w.usb().sends.clear();
  const bool sent = f.UploadFromFile(update::ModeBackupFile, path);
  w.loop().ProcessMessages();
  NIMBREL_FUZZ_CHECK(sent == (size >= unit::kHardwarePatchSize));
  if (sent) {
    const auto& sends = w.usb().sends;
    NIMBREL_FUZZ_CHECK(sends.size() >= 2 && sends[0].bytes.size() == 512);
    const std::int64_t padded = protocol::PaddedLength(static_cast<std::int64_t>(size));
    NIMBREL_FUZZ_CHECK(protocol::LoadI32(sends[0].bytes.data() + 508) == padded);
    Bytes staged;
    for (std::size_t i = 1; i < sends.size(); ++i) staged.insert(staged.end(), sends[i].bytes.begin(), sends[i].bytes.end());
    NIMBREL_FUZZ_CHECK(static_cast<std::int64_t>(staged.size()) == padded);
    protocol::UploadHeader header(staged.data());
    NIMBREL_FUZZ_CHECK(header.size() == static_cast<std::int32_t>(size));
    NIMBREL_FUZZ_CHECK(std::equal(patched.begin() + unit::kHardwarePatchSize, patched.end(),
                                  staged.begin() + 512 + unit::kHardwarePatchSize));
    NIMBREL_FUZZ_CHECK(std::all_of(staged.begin() + 512 + static_cast<std::ptrdiff_t>(size), staged.end(),
                                   [](std::uint8_t b) { return b == 0; }));
  }

  // The backup replaces it with the System Info copy, whole.
  f.btnBackupClick(nullptr);
  const Bytes backup = ReadFile(path);
  NIMBREL_FUZZ_CHECK(backup.size() == f.systemInfoCopy.size() &&
                     std::equal(backup.begin(), backup.end(), f.systemInfoCopy.begin()));

  w.usb().sends.clear();
  w.usb().reads.clear();
  return 0;
}
