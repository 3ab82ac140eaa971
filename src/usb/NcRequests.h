#pragma once
// Requests to the bulk driver on a device object: control transfers, the
// USB descriptors read and checked when a device is opened, the driver's
// version, diagnostics, and the layer's memory functions.
//
// Every operation runs on the calling thread and blocks until the driver
// answers. Failures are reported into the layer's DiagnosticText and
// returned; most operations return 0 or -1, ParseConfiguration,
// GetDriverInfo and TestDriverInfo 1 (valid) or 0.
//
// Descriptors come from the device and are not trusted: every walk through
// the configuration stays inside the block that holds it, and a descriptor
// of zero length (or one that runs past the end) ends the walk.

#include <cstddef>
#include <cstdint>
#include <string>

#include "usb/NcDevice.h"

namespace nimbrel::usb {

// Both stages of a control transfer on endpoint 0: the 8-byte setup packet
// (sent and returned), then the data stage into or out of `data`. The byte
// count (may be null) is the number of data bytes moved.
bool ControlTransfer(UsbLayer& layer, Handle device, std::uint8_t* setupPacket, void* data, std::uint32_t* byteCount);

int System_GetDescriptor(NC_DEVICE_OBJECT* device, std::uint8_t type, std::uint8_t index, std::uint32_t length,
                         void* buffer, std::uint32_t* byteCount);
int GetDeviceDescriptor(NC_DEVICE_OBJECT* device);
int GetConfiguration(NC_DEVICE_OBJECT* device, std::uint32_t index, std::uint32_t* byteCount);
int ParseConfiguration(NC_DEVICE_OBJECT* device);
// Moves the cursor to the next descriptor of that type before `end`: 1, or
// 0 at the end. The descriptor at the starting position never matches.
int FindDescriptor(const std::uint8_t** cursor, std::uint32_t type, const std::uint8_t* end);
// The end of the device's configuration: its wTotalLength, within the block.
const std::uint8_t* ConfigurationEnd(const NC_DEVICE_OBJECT* device);
int GetStringDescriptors(NC_DEVICE_OBJECT* device);
int GetStringDescriptor(NC_DEVICE_OBJECT* device, std::uint32_t index);
int GetDriverInfo(NC_DEVICE_OBJECT* device, std::uint32_t* version, std::uint32_t* checked);
int TestDriverInfo(NC_DEVICE_OBJECT* device);
bool GetLastUsbdStatus(NC_DEVICE_OBJECT* device, std::uint32_t* status);

// Reports `text` with the device's USBD status, or with the calling
// thread's last system error when the driver has no status; returns what it
// reported.
std::uint32_t ReportUsbdError(NC_DEVICE_OBJECT* device, const char* text);
// Reports `text` with the calling thread's last system error; returns it.
std::uint32_t ReportWin32Error(UsbLayer& layer, const char* text);
// Formats into the layer's DiagnosticText, replacing what it held.
void ReportDiagnostic(UsbLayer& layer, const char* format, ...) __attribute__((format(printf, 2, 3)));
const char* UsbdStatusName(std::uint32_t status);

// Zero-filled memory; null (reported) when none is left.
void* NcMalloc(UsbLayer& layer, std::size_t size);
template <typename T>
void NcFree(T*& variable);
// NcFree of the variable, then NcMalloc of the new size: nothing of the old
// content is kept.
template <typename T>
T* NcRealloc(UsbLayer& layer, T*& variable, std::size_t size);

void NcFreeBlock(void* block);

// UTF-16LE text as 8-bit text, as the layer converts device strings and
// paths: up to `units` code units or the first zero one; a unit below 0x100
// becomes that byte, any other '?'.
std::string NarrowUtf16(const std::uint8_t* text, std::size_t units);

template <typename T>
void NcFree(T*& variable) {
  if (!variable) return;
  NcFreeBlock(const_cast<void*>(static_cast<const void*>(variable)));
  variable = nullptr;
}

template <typename T>
T* NcRealloc(UsbLayer& layer, T*& variable, std::size_t size) {
  NcFree(variable);
  variable = static_cast<T*>(NcMalloc(layer, size));
  return variable;
}

}  // namespace nimbrel::usb
