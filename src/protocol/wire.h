// Every byte format exchanged with a dongle over the network, as pure
// functions over byte buffers, for the viewer's side and the device's side.
//   wire_defs.h       ports, sizes, type codes, setting numbers
//   wire_discovery.h  probe and answer texts
//   wire_p1.h         protocol 1: control stream, datagram blocks, fragment acks
//   wire_p2.h         protocol 2: packet walk and every packet
//   wire_input.h      input records and batches
#pragma once

#include "protocol/wire_defs.h"
#include "protocol/wire_discovery.h"
#include "protocol/wire_input.h"
#include "protocol/wire_p1.h"
#include "protocol/wire_p2.h"
