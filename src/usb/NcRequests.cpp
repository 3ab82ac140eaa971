#include "usb/NcRequests.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace nimbrel::usb {

namespace {

constexpr std::uint32_t kUsbdStatusPreset = 0x12345678;
constexpr std::uint16_t kLanguageUsEnglish = 0x0409;
// The system's message text goes through a buffer of this size.
constexpr std::size_t kSystemMessageBuffer = 80;

std::uint16_t LoadU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// The descriptor at p when it lies wholly before `end` and has a length
// that moves a walk on; none otherwise (the walk ends there).
const std::uint8_t* DescriptorAt(const std::uint8_t* p, const std::uint8_t* end) {
  if (!p || p >= end || end - p < 2) return nullptr;
  const std::uint8_t length = p[0];
  if (length < 2 || length > end - p) return nullptr;
  return p;
}

// From p on (p itself first), the first descriptor of that type; none when
// the walk ends before one.
const std::uint8_t* FirstOfType(const std::uint8_t* p, std::uint8_t type, const std::uint8_t* end) {
  for (;;) {
    const std::uint8_t* d = DescriptorAt(p, end);
    if (!d) return nullptr;
    if (d[1] == type) return d;
    p = d + d[0];
  }
}

}  // namespace

// ---- The layer's diagnostic text ----

std::string UsbLayer::DiagnosticText() const {
  std::lock_guard lock(diagnosticLock_);
  return diagnosticText_;
}

void UsbLayer::SetDiagnosticText(std::string text) {
  std::lock_guard lock(diagnosticLock_);
  diagnosticText_.swap(text);
}

void ReportDiagnostic(UsbLayer& layer, const char* format, ...) {
  // Formatted apart and then swapped in whole, so that reports from several
  // threads never mix.
  std::vector<char> text(kDiagnosticTextSize);
  va_list args;
  va_start(args, format);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  layer.SetDiagnosticText(text.data());
}

std::uint32_t ReportWin32Error(UsbLayer& layer, const char* text) {
  const std::uint32_t code = GetLastError();
  char message[kSystemMessageBuffer];
  std::snprintf(message, sizeof message, "%s", SystemErrorMessage(code).c_str());
  ReportDiagnostic(layer, "%s WIN32 Status %8.8x: %s", text, code, message);
  SetLastError(code);
  return code;
}

std::uint32_t ReportUsbdError(NC_DEVICE_OBJECT* device, const char* text) {
  const std::uint32_t saved = GetLastError();
  std::uint32_t status = kUsbdStatusPreset;
  if (GetLastUsbdStatus(device, &status) && status != 0) {
    ReportDiagnostic(device->layer, "%s USBD Status %8.8x: %s\n", text, status, UsbdStatusName(status));
    return status;
  }
  SetLastError(saved);
  return ReportWin32Error(device->layer, text);
}

const char* UsbdStatusName(std::uint32_t status) {
  switch (status & 0x3FFFFFFFu) {
    case 0x00000000: return "USBD_STATUS_SUCCESS";
    case 0x00000001: return "USBD_STATUS_CRC";
    case 0x00000002: return "USBD_STATUS_BTSTUFF";
    case 0x00000003: return "USBD_STATUS_DATA_TOGGLE_MISMATCH";
    case 0x00000004: return "USBD_STATUS_STALL_PID";
    case 0x00000005: return "USBD_STATUS_DEV_NOT_RESPONDING";
    case 0x00000006: return "USBD_STATUS_PID_CHECK_FAILURE";
    case 0x00000007: return "USBD_STATUS_UNEXPECTED_PID";
    case 0x00000008: return "USBD_STATUS_DATA_OVERRUN";
    case 0x00000009: return "USBD_STATUS_DATA_UNDERRUN";
    case 0x0000000A: return "USBD_STATUS_RESERVED1";
    case 0x0000000B: return "USBD_STATUS_RESERVED2";
    case 0x0000000C: return "USBD_STATUS_BUFFER_OVERRUN";
    case 0x0000000D: return "USBD_STATUS_BUFFER_UNDERRUN";
    case 0x0000000F: return "USBD_STATUS_NOT_ACCESSED";
    case 0x00000010: return "USBD_STATUS_FIFO";
    case 0x00000030: return "USBD_STATUS_ENDPOINT_HALTED";
    case 0x00000100: return "USBD_STATUS_NO_MEMORY";
    case 0x00000200: return "USBD_STATUS_INVALID_URB_FUNCTION";
    case 0x00000300: return "USBD_STATUS_INVALID_PARAMETER";
    case 0x00000400: return "USBD_STATUS_ERROR_BUSY";
    case 0x00000500: return "USBD_STATUS_REQUEST_FAILED";
    case 0x00000600: return "USBD_STATUS_INVALID_PIPE_HANDLE";
    case 0x00000700: return "USBD_STATUS_NO_BANDWIDTH";
    case 0x00000800: return "USBD_STATUS_INTERNAL_HC_ERROR";
    case 0x00000900: return "USBD_STATUS_ERROR_SHORT_TRANSFER";
    case 0x00000A00: return "USBD_STATUS_BAD_START_FRAME";
    case 0x00000B00: return "USBD_STATUS_ISOCH_REQUEST_FAILED";
    case 0x00000C00: return "USBD_STATUS_FRAME_CONTROL_OWNED";
    case 0x00000D00: return "USBD_STATUS_FRAME_CONTROL_NOT_OWNED";
    case 0x00010000: return "USBD_STATUS_CANCELED";
    case 0x00020000: return "USBD_STATUS_CANCELING";
    default: return "(USBD status unknown)";
  }
}

// ---- Memory ----

void* NcMalloc(UsbLayer& layer, std::size_t size) {
  void* block = std::calloc(std::max<std::size_t>(size, 1), 1);
  if (!block) {
    SetLastError(kErrorNotEnoughMemory);
    ReportWin32Error(layer, "Malloc(): VirtualAlloc():");
  }
  return block;
}

void NcFreeBlock(void* block) { std::free(block); }

std::string NarrowUtf16(const std::uint8_t* text, std::size_t units) {
  std::string out;
  for (std::size_t i = 0; i < units; ++i) {
    const std::uint16_t unit = LoadU16(text + 2 * i);
    if (unit == 0) break;
    out.push_back(unit < 0x100 ? static_cast<char>(unit) : '?');
  }
  return out;
}

// ---- Control transfers and descriptors ----

bool ControlTransfer(UsbLayer& layer, Handle device, std::uint8_t* setupPacket, void* data, std::uint32_t* byteCount) {
  std::uint32_t count = 0;
  if (byteCount) *byteCount = 0;
  const std::uint16_t asked = LoadU16(setupPacket + 6);
  if (!layer.driver().DeviceIoControl(device, IOCTL_NCBULK_CONTROL_SETUP, setupPacket, 8, setupPacket, 8, &count)) {
    return false;
  }
  // The data stage moves wLength bytes as the setup request returned it, never
  // more than the caller's buffer was asked to hold.
  const std::uint32_t length = std::min(LoadU16(setupPacket + 6), asked);
  count = 0;
  const bool ok = layer.driver().DeviceIoControl(device, IOCTL_NCBULK_CONTROL_DATA, data, length, data, length, &count);
  if (byteCount) *byteCount = std::min(count, length);
  return ok;
}

int System_GetDescriptor(NC_DEVICE_OBJECT* device, std::uint8_t type, std::uint8_t index, std::uint32_t length,
                         void* buffer, std::uint32_t* byteCount) {
  std::uint8_t setup[8];
  setup[0] = 0x80;
  setup[1] = 6;  // GET_DESCRIPTOR
  setup[2] = index;
  setup[3] = type;
  const std::uint16_t language = type == USB_STRING_DESCRIPTOR_TYPE ? kLanguageUsEnglish : 0;
  setup[4] = static_cast<std::uint8_t>(language & 0xFF);
  setup[5] = static_cast<std::uint8_t>(language >> 8);
  setup[6] = static_cast<std::uint8_t>(length & 0xFF);
  setup[7] = static_cast<std::uint8_t>(length >> 8 & 0xFF);
  return ControlTransfer(device->layer, device->deviceHandle, setup, buffer, byteCount) ? 0 : -1;
}

int GetDeviceDescriptor(NC_DEVICE_OBJECT* device) {
  std::uint32_t count = 0;
  if (System_GetDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, kDeviceDescriptorLength, device->deviceDescriptor,
                           &count) != 0) {
    ReportDiagnostic(device->layer, "GetDeviceDescriptor(): GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE) failed\n");
    return -1;
  }
  if (count != kDeviceDescriptorLength) {
    ReportDiagnostic(device->layer,
                     "GetDeviceDescriptor(): GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE): Expected %d, got %d bytes\n",
                     static_cast<int>(kDeviceDescriptorLength), static_cast<int>(count));
    return -1;
  }
  return 0;
}

int GetConfiguration(NC_DEVICE_OBJECT* device, std::uint32_t index, std::uint32_t* byteCount) {
  UsbLayer& layer = device->layer;
  std::uint32_t count = 0;
  if (byteCount) *byteCount = 0;
  constexpr std::uint32_t kHeader = 9;
  NcFree(device->configuration);
  device->configurationSize = 0;
  device->configuration = static_cast<std::uint8_t*>(NcMalloc(layer, kHeader));
  if (!device->configuration) return -1;
  device->configurationSize = kHeader;
  const auto i = static_cast<std::uint8_t>(index);
  if (System_GetDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, i, kHeader, device->configuration, &count) != 0) {
    ReportUsbdError(device, "GetConfiguration(USB_CONFIGURATION_DESCRIPTOR): GetDescriptor()");
    return -1;
  }
  if (count != kHeader) {
    ReportDiagnostic(layer, "GetConfiguration(USB_CONFIGURATION_DESCRIPTOR): Expected %d, got %d bytes\n",
                     static_cast<int>(kHeader), static_cast<int>(count));
  }
  const std::uint32_t total = LoadU16(device->configuration + 2);
  // The block never gets smaller than the configuration descriptor itself,
  // so that its fixed fields can always be read.
  device->configurationSize = 0;
  if (!NcRealloc(layer, device->configuration, std::max(total, kHeader))) return -1;
  device->configurationSize = std::max(total, kHeader);
  count = 0;
  const int result =
      System_GetDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, i, total, device->configuration, &count);
  if (byteCount) *byteCount = count;
  if (result != 0) {
    ReportUsbdError(device, "GetConfiguration(wTotalLength): GetDescriptor()");
    return -1;
  }
  if (count != total) {
    ReportDiagnostic(layer, "GetConfiguration(USB_CONFIGURATION_DESCRIPTOR): Expected %d, got %d bytes\n",
                     static_cast<int>(total), static_cast<int>(count));
  }
  return 0;
}

const std::uint8_t* ConfigurationEnd(const NC_DEVICE_OBJECT* device) {
  if (!device->configuration || device->configurationSize < 4) return device->configuration;
  const std::uint32_t total = LoadU16(device->configuration + 2);
  return device->configuration + std::min(total, device->configurationSize);
}

int ParseConfiguration(NC_DEVICE_OBJECT* device) {
  UsbLayer& layer = device->layer;
  const std::uint8_t* config = device->configuration;
  if (!config) {
    ReportDiagnostic(layer, "ParseConfiguration(): DeviceObject Configuration Descriptor not set!\n");
    return 0;
  }
  if (config[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    ReportDiagnostic(layer, "ParseConfiguration(): Configuration Descriptor type: expected %2.2x, got %2.2x\n",
                     USB_CONFIGURATION_DESCRIPTOR_TYPE, config[1]);
    return 0;
  }
  if (config[0] < 9) {
    ReportDiagnostic(layer, "ParseConfiguration(): Configuration Descriptor bLength: expected %2.2x, got %2.2x\n", 9,
                     config[0]);
    return 0;
  }
  const std::uint16_t total = LoadU16(config + 2);
  if (total < 0x12) {
    ReportDiagnostic(layer,
                     "ParseConfiguration(): Configuration Descriptor wTotalLength: expected at least %4.4x, got "
                     "%4.4x\n",
                     0x12, total);
    return 0;
  }
  const std::uint8_t* end = ConfigurationEnd(device);

  const std::uint8_t* iface = FirstOfType(config + config[0], USB_INTERFACE_DESCRIPTOR_TYPE, end);
  if (!iface) {
    ReportDiagnostic(layer, "ParseConfiguration(): No Interface Descriptor found\n");
    return 0;
  }
  if (iface[0] < 9) {
    ReportDiagnostic(layer, "ParseConfiguration(): Interface Descriptor bLength: expected %2.2x, got %2.2x\n", 9,
                     iface[0]);
    return 0;
  }
  const int claim = iface[4];
  if (claim == 0) return 1;
  if (claim > 0x1F) {
    ReportDiagnostic(layer, "ParseConfiguration(): too many endpoints - claim: %2.2x, max: %2.2x\n", claim, 0x1F);
    return 0;
  }
  const std::uint8_t* ep = FirstOfType(iface + iface[0], USB_ENDPOINT_DESCRIPTOR_TYPE, end);
  if (!ep) {
    ReportDiagnostic(layer, "ParseConfiguration(): Expected %d Endpoint Descriptors, found none\n", claim);
    return 0;
  }
  if (ep[0] < 7) {
    ReportDiagnostic(layer, "ParseConfiguration(): Enpdoint Descriptor bLength: expected %2.2x, got %2.2x\n", 7,
                     ep[0]);
    return 0;
  }
  for (int k = 1; k < claim; ++k) {
    ep = DescriptorAt(ep + ep[0], end);
    if (!ep) {
      ReportDiagnostic(layer, "ParseConfiguration(): Hit end of Configuration while traversing Endpoint Descriptors\n");
      return 0;
    }
    if (ep[1] != USB_ENDPOINT_DESCRIPTOR_TYPE) {
      ReportDiagnostic(layer, "ParseConfiguration(): Expected %d Endpoint Descriptors, found %d\n", claim, k);
      return 0;
    }
    if (ep[0] < 7) {
      ReportDiagnostic(layer, "ParseConfiguration(): %d Enpdoint Descriptor bLength: expected %2.2x, got %2.2x\n", k,
                       7, ep[0]);
      return 0;
    }
  }
  return 1;
}

int FindDescriptor(const std::uint8_t** cursor, std::uint32_t type, const std::uint8_t* end) {
  const std::uint8_t* current = DescriptorAt(*cursor, end);
  while (current) {
    current = DescriptorAt(current + current[0], end);
    if (current && current[1] == type) {
      *cursor = current;
      return 1;
    }
  }
  return 0;
}

int GetStringDescriptors(NC_DEVICE_OBJECT* device) {
  // An index without a slot in the string table is not read.
  const auto readable = [](std::uint8_t index) { return index != 0 && index < kStringTableSlots; };
  const std::uint8_t manufacturer = device->deviceDescriptor[14];
  const std::uint8_t product = device->deviceDescriptor[15];
  const std::uint8_t serial = device->deviceDescriptor[16];
  if (readable(manufacturer) && GetStringDescriptor(device, manufacturer) != 0) return -1;
  if (readable(product)) GetStringDescriptor(device, product);
  if (readable(serial)) GetStringDescriptor(device, serial);
  return 0;
}

int GetStringDescriptor(NC_DEVICE_OBJECT* device, std::uint32_t index) {
  if (index >= kStringTableSlots) return -1;
  UsbLayer& layer = device->layer;
  std::lock_guard lock(layer.stringScratchLock);
  std::uint8_t* scratch = layer.stringScratch.data();
  // Cleared first: nothing of an earlier answer can end up in this text.
  std::memset(scratch, 0, kStringScratchSize);
  std::uint32_t count = 0;
  if (System_GetDescriptor(device, USB_STRING_DESCRIPTOR_TYPE, static_cast<std::uint8_t>(index), kStringScratchSize,
                           scratch, &count) != 0) {
    ReportDiagnostic(layer, "GetStringDescriptor(): GetDescriptor(): failed\n");
    return -1;
  }
  const std::size_t b = scratch[0];
  const std::size_t end = 2 * (b / 2);
  scratch[end] = 0;
  scratch[end + 1] = 0;
  // The text is the UTF-16 after the two header bytes, up to byte `end`.
  const std::size_t units = end > 2 ? (end - 2) / 2 : 0;
  const std::string text = NarrowUtf16(scratch + 2, units);
  char* copy = static_cast<char*>(NcMalloc(layer, b / 2 + 1));
  if (!copy) return -1;
  std::memcpy(copy, text.c_str(), text.size() + 1);
  NcFree(device->strings[index]);
  device->strings[index] = copy;
  return 0;
}

int GetDriverInfo(NC_DEVICE_OBJECT* device, std::uint32_t* version, std::uint32_t* checked) {
  if (!device || device->deviceHandle == kInvalidHandle) {
    if (device) {
      ReportDiagnostic(device->layer, "GetDriverInfo(): DeviceObject or device handle is not valid\n");
    }
    return 0;
  }
  UsbLayer& layer = device->layer;
  std::uint32_t returned = 0;
  if (!layer.driver().DeviceIoControl(device->deviceHandle, IOCTL_NCBULK_GET_DRIVER_VERSION, nullptr, 0, version, 4,
                                      &returned)) {
    ReportWin32Error(layer, "GetDriverInfo(): IOCTL_NCBULK_GET_DRIVER_VERSION:");
    return 0;
  }
  if (!layer.driver().DeviceIoControl(device->deviceHandle, IOCTL_NCBULK_IS_CHECKED_BUILD, nullptr, 0, checked, 4,
                                      &returned)) {
    ReportWin32Error(layer, "GetDriverInfo(): IOCTL_NCBULK_IS_CHECKED_BUILD:");
    return 0;
  }
  return 1;
}

int TestDriverInfo(NC_DEVICE_OBJECT* device) {
  std::uint32_t version = 0;
  std::uint32_t checked = 0;
  // A failed query has been reported; there is no version to warn about.
  if (!GetDriverInfo(device, &version, &checked)) return 0;
  if (checked != 0) {
    ReportDiagnostic(device->layer, "\nWARNING: TestDriverInfo():\n   NetChip USB client driver: CHECKED (debug) build\n");
  }
  if (version == kExpectedDriverVersion) return 1;
  ReportDiagnostic(device->layer,
                   "\nWARNING: TestDriverInfo():\n   NetChip USB Host driver: Expected v%4.4x.%4.4x, got v%4.4x.%4.4x\n"
                   "   Contact the scanner's service for the USB driver that matches this updater\n\n",
                   kExpectedDriverVersion >> 16, kExpectedDriverVersion & 0xFFFFu, version >> 16, version & 0xFFFFu);
  return 0;
}

bool GetLastUsbdStatus(NC_DEVICE_OBJECT* device, std::uint32_t* status) {
  std::uint32_t returned = 0;
  if (!device->layer.driver().DeviceIoControl(device->deviceHandle, IOCTL_NCBULK_GET_LAST_USBD_STATUS, status, 4,
                                              status, 4, &returned)) {
    ReportWin32Error(device->layer, "GetLastUsbdStatus(): DeviceIoControl():");
    return false;
  }
  return true;
}

}  // namespace nimbrel::usb
