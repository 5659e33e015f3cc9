// The readers' half of the user receive path: DATA, DATA_FRAG, GAP and HEARTBEAT of remote
// writers, sent to the participant's default unicast locator, go to the local user readers.
#pragma once

#include "dcps/readers/user_reader.hpp"
#include "foundation/time.hpp"
#include "rtps/receiver.hpp"

namespace nimbrel::dcps {

// The user submessages of a received datagram go to the addressed user reader, or, addressed to
// no reader, to every user reader matched with the sending writer; released samples are
// delivered, and the acknowledgements the HEARTBEATs call for are sent through `reply_socket` once
// the datagram's samples are queued.
void handle_user_datagram(UserReaders& readers, const transport::Transport& reply_socket,
                          const rtps::ReceivedDatagram& datagram, Elapsed now);

}  // namespace nimbrel::dcps
