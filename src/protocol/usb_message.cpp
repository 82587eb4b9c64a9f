// USB Stream Mode message framing.
#include "protocol/usb_message.h"

#include <cstring>

#include "base/bytes.h"

int usb_msg_build(uint8_t *out, size_t cap, uint8_t cls, uint8_t type, uint32_t length)
{
    if (!out || cap < USB_MSG_HEADER_SIZE)
        return -1;
    out[0] = cls;
    out[1] = type;
    wr_le32(out + 2, length);
    return USB_MSG_HEADER_SIZE;
}

int usb_msg_parse_header(const uint8_t *data, size_t len, UsbMsgHeader *out)
{
    if (!data || len < USB_MSG_HEADER_SIZE)
        return -1;
    out->cls = data[0];
    out->type = data[1];
    out->length = rd_le32(data + 2);
    return out->length > USB_MAX_PAYLOAD ? -2 : 0;
}

int usb_mode_switch_report(uint8_t *out, size_t len)
{
    if (!out || len < 2)
        return -1;
    std::memset(out, 0, len);
    out[0] = USB_MODE_SWITCH_REPORT_ID;
    out[1] = USB_MODE_SWITCH_CODE;
    return (int)len;
}

uint32_t usb_piece_count(uint32_t length) { return length / USB_READ_PIECE + (length % USB_READ_PIECE ? 1 : 0); }

uint32_t usb_piece_size(uint32_t length, uint32_t k)
{
    uint64_t start = (uint64_t)k * USB_READ_PIECE;
    if (start >= length)
        return 0;
    uint64_t left = length - start;
    return (uint32_t)(left < (uint64_t)USB_READ_PIECE ? left : (uint64_t)USB_READ_PIECE);
}

long usb_next_message(const uint8_t *data, size_t len, UsbMsgHeader *h, const uint8_t **payload)
{
    if (len < USB_MSG_HEADER_SIZE)
        return 0;
    if (usb_msg_parse_header(data, len, h) == -2)
        return -2;
    if (len - USB_MSG_HEADER_SIZE < h->length)
        return 0;
    *payload = data + USB_MSG_HEADER_SIZE;
    return (long)(USB_MSG_HEADER_SIZE + h->length);
}
