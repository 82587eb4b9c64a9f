// HID report descriptors: what the USB backend reads to size the dongle's
// feature reports. Pure; called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// The feature report length of top-level collection `collection` (from 1)
// in a HID report descriptor: the longest feature report of that collection
// in bytes, plus one for the report id. 0 when the descriptor is malformed
// or the collection has no feature report. Pure; never reads outside
// desc[0..len).
int usb_hid_feature_length(const uint8_t *desc, size_t len, int collection);
