// Discovery texts: the viewer's probe and the device's answer.
//
// The probe is the text "mdc[<viewer port>]=<UTC ms>|<zone field>" sent
// without a terminating zero to the device's discovery port. The answer is a
// run of key="value" items; the viewer's parser of answers lives with the
// device record, the builder here serves the simulated dongle.
//
// Every function is pure (wire_tz_field reads the local zone only) and may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the probe text into out (zero-terminated when it fits) and returns
// its length without the terminator, which is the datagram's length; -1 when
// out cannot hold the text and its terminator.
int wire_build_probe(char *out, size_t cap, int port, int64_t time_ms, int tz_field);

// The probe's zone field for a zone seconds_east seconds ahead of UTC:
// 12 minus the bias (UTC minus local, in minutes) divided by 60 and truncated
// toward zero. UTC+8 gives 20, UTC gives 12, UTC-5 gives 7, UTC+5:30 gives 17,
// UTC-3:30 gives 9.
int wire_tz_field_from_gmtoff(long seconds_east);

// The zone field for the local zone now (daylight saving included, as the
// current offset from UTC is what the device wants).
int wire_tz_field(void);

// Device side: reads a probe. The whole text must be the probe, no trailing
// bytes (a single trailing zero byte is tolerated). Returns 0 and fills the
// three numbers, or -1 when the text is not a probe or a number overflows
// (port outside 0..65535, time outside int64, zone field outside int).
int wire_parse_probe(const char *text, size_t len, int *port, int64_t *time_ms, int *tz);

// Device side: the fields of a discovery answer. A NULL text field leaves its
// item out; numbers are always written.
struct WireAnswerFields {
    const char *id;
    const char *mds;     // display name
    const char *model;
    const char *ip;
    const char *apip;
    uint64_t build;      // firmware build stamp such as 230302190449
    const char *version; // "major.minor.patch.build"; major selects the protocol
    int secured;         // nonzero: a password is needed
    int bridged;
    int hid_speed;
};

// Device side: writes the answer text, items in the order id, mds, model, ip,
// apip, build, version, secured, bridged, hid_speed, separated by one space,
// e.g. id="A1" mds="Desk" build="230302190449" secured="0" ... Zero-terminated;
// returns the length without the terminator, or -1 when out is too small or a
// value contains a double quote (the format cannot carry one).
int wire_build_answer(char *out, size_t cap, const WireAnswerFields *f);
