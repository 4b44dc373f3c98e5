// Library-internal PDU helpers, for the message codec and the session layer.
#pragma once

#include <cstdint>

#include "kivo8/snmp_sess.h"

// A PDU like snmp_create_pdu's, but with request and message id 0 and no id consumed: the
// record into which a received response is decoded.
snmp_pdu *_snmp_create_pdu(int32_t command) noexcept;

// A binding record, not cleared: from this thread's cache of freed records, else from the
// allocator. snmp_free_var puts records back into the cache of the thread that frees them
// (a few dozen at most; the rest go back to the allocator), so the decoder's records of one
// message are mostly those that the previous message's caller freed.
snmp_var *_snmp_var_alloc() noexcept;

// Appends `var` at the end of the PDU's chain.
void _snmp_append_var(snmp_pdu *pdu, snmp_var *var) noexcept;

// Test hooks: set where the id counters stand (the next id is this value plus one).
void _snmp_set_reqid_counter(uint32_t value) noexcept;
void _snmp_set_msgid_counter(uint32_t value) noexcept;
