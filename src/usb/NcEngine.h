#pragma once
// The transfer engine: building and tearing down a device object, queueing
// transfers, and the two worker threads per device that start bulk
// transfers and run their completions (BulkThread) and run queued control
// transfers (ControlThread).
//
// Threads and contracts:
//  - System_CreateDevice, StartDeviceThreads, the teardown operations,
//    NcH_EpTransferAndBlock and NcH_CleanUp run on the UI thread;
//    NcH_EpTransfer on the UI thread too.
//  - A bulk transfer starts on the BulkThread in queue order; its completion
//    handler runs on that thread during its wait, one at a time. A queued
//    control transfer and its handler run on the ControlThread.
//  - From the moment a device's state is closing (MarkClosing, under its
//    gate) no worker thread starts a transfer or enters a completion
//    handler. System_DestroyDevice joins a worker unless it is inside a
//    handler that began before; such a worker is parked with the layer and
//    ends by itself when the handler returns (a handler may be waiting for
//    the UI thread, so the UI thread must not wait for it).
//  - Work in flight: each transfer queued adds one unit, released once a
//    bulk transfer has been started (or failed to start and had its
//    handler), or once a control transfer has finished with its handler, or
//    when the queue is dropped at teardown. The driver counts a started
//    transfer from the moment its result is known. A bulk transfer queued
//    while the UI thread runs work its BulkThread waits for
//    (uiHoldsWorker) is counted only when that work ends
//    (CountHeldTransfers): until then nothing can start it, and a pause
//    inside that work must not wait for it.

#include <array>
#include <cstdint>

#include "usb/NcDevice.h"

namespace nimbrel::usb {

// A device object for the device path (an NcMalloc text the object owns
// from now on), its descriptors read and checked and its endpoint objects
// made; none (reported, the path still the caller's) when the build failed.
DevicePtr System_CreateDevice(UsbLayer& layer, char* devicePath);
int CreateEndpointObjects(NC_DEVICE_OBJECT* device);
// Starts the device's BulkThread, then its ControlThread.
void StartDeviceThreads(const DevicePtr& device);

int NcH_EpTransfer(NC_ENDPOINT_OBJECT* endpoint);
// The UI thread has ended work that the device's BulkThread was waiting
// for: the bulk transfers queued meanwhile count as work in flight now.
void CountHeldTransfers(NC_DEVICE_OBJECT* device);
int NcH_EpTransferAndBlock(NC_ENDPOINT_OBJECT* endpoint);

// State and usable flag become closing.
void MarkClosing(NC_DEVICE_OBJECT* device);
void System_CancelAllTransfers(NC_DEVICE_OBJECT* device);
void System_CloseAllEndpointHandles(NC_DEVICE_OBJECT* device);
void CompleteAllTransferWithError(NC_DEVICE_OBJECT* device);
void System_DestroyDevice(NC_DEVICE_OBJECT* device);
void FreeDeviceObject(NC_DEVICE_OBJECT* device);

inline constexpr std::size_t kDeviceTableSlots = 128;
using DeviceTableSlots = std::array<DevicePtr, kDeviceTableSlots>;
// Clears DeviceConnected and destroys every device object of the table.
void NcH_CleanUp(UsbLayer& layer, DeviceTableSlots& table, std::uint32_t& count);
void System_CleanUp();

}  // namespace nimbrel::usb
