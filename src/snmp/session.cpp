// SNMP sessions: sending a PDU, waiting for its one reply, collecting broadcast replies.

#include <cstdint>
#include <span>

#include "core/alloc.h"
#include "core/guard.h"
#include "kivo8/ifinfo.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/udp_sess.h"
#include "net/udp_internal.h"
#include "snmp/message.h"
#include "snmp/pdu.h"
#include "snmp/session_internal.h"

namespace {

constexpr int32_t kFamilyIpx = 23;
constexpr int32_t kPortSnmp = 161;
constexpr int32_t kPortSnmpIpx = 36879;
constexpr int32_t kDefaultTimeout = 3;

// The response functions receive into buffers as large as the ones requests are built
// in, and a time-out of 0 would make every wait end at once.
void prepare_read(udp_session *udp) noexcept {
  udp->recv_buffer_size = SNMP_PACKET_SIZE;
  if (udp->timeout == 0) udp->timeout = kDefaultTimeout;
}

int32_t code_of_read(int32_t udp_code) noexcept {
  switch (udp_code) {
    case UDP_OK:
      return SNMP_ERR_NONE;
    case UDP_ERR_SELECT:
    case UDP_ERR_RECV:
      return SNMP_ERR_RECV;
    case UDP_ERR_NOMEM:
      return SNMP_ERR_NOMEM;
    case UDP_ERR_TIMEOUT:
      return SNMP_ERR_TIMEOUT;
    default:
      return SNMP_ERR_OTHER;
  }
}

// A reply that the decoder could not even read the header, version or community of is
// a decoding failure like any other; the decoder leaves `error` at 0 for it, which would
// let a caller take an empty response for an answer.
int32_t parse_reply(snmp_session *session, snmp_pdu *pdu, const uint8_t *data,
                    int32_t length) noexcept {
  if (data == nullptr || length < 0) {
    session->error = SNMP_ERR_DECODE;
    return -1;
  }
  int32_t result = snmp_parse(session, pdu, data, static_cast<uint32_t>(length));
  if (result < 0 && session->error == SNMP_ERR_NONE) session->error = SNMP_ERR_DECODE;
  return result;
}

void append_node(snmp_pdu_list *list, snmp_pdu_list *node) noexcept {
  while (list->next != nullptr) list = list->next;
  list->next = node;
}

}  // namespace

bool _snmp_send(snmp_session *session, snmp_pdu *pdu) noexcept {
  session->error = SNMP_ERR_NONE;
  if (pdu == nullptr) {
    session->error = SNMP_ERR_NOPDU;
    return false;
  }
  if (pdu->version == -1) {
    if (session->version == -1) {
      session->error = SNMP_ERR_VERSION;
      return false;
    }
    pdu->version = session->version;
  } else if (session->version != -1 && pdu->version != session->version) {
    session->error = SNMP_ERR_VERSION;
    return false;
  }

  uint8_t packet[SNMP_PACKET_SIZE];
  kivo8::snmp::CodecError why;
  const uint32_t length = kivo8::snmp::encode_message(session, pdu, packet, &why);
  if (length == 0) {
    switch (why) {
      case kivo8::snmp::CodecError::no_community:
        session->error = SNMP_ERR_NOCOMM;
        break;
      case kivo8::snmp::CodecError::no_memory:
        session->error = SNMP_ERR_NOMEM;
        break;
      default:
        // Too large, an unknown value type, a name that cannot be written: a request that
        // cannot be encoded must not pass for a success.
        session->error = SNMP_ERR_OTHER;
        break;
    }
    return false;
  }
  if (session->udp == nullptr ||
      udp_send(session->udp, packet, static_cast<int32_t>(length)) != UDP_OK) {
    session->error = SNMP_ERR_SEND;
    return false;
  }
  return true;
}

extern "C" KIVO8_API snmp_session *snmp_create_session(int32_t family,
                                                       const struct in_addr *address,
                                                       const ifinfo *target) noexcept {
  auto *session = kivo8::mem_new<snmp_session>();
  if (session == nullptr) return nullptr;
  session->version = -1;
  session->community = &snmp_comm_null;
  session->error = SNMP_ERR_NONE;
  int32_t port = family == kFamilyIpx ? kPortSnmpIpx : kPortSnmp;
  session->udp = udp_open(family, address, port, target);
  if (session->udp == nullptr) {
    kivo8::mem_free(session);
    return nullptr;
  }
  session->udp->retries = 2;
  return session;
}

extern "C" KIVO8_API void snmp_free_session(snmp_session *session) noexcept {
  if (session == nullptr) return;
  if (session->udp != nullptr) udp_close(session->udp);
  kivo8::mem_free(session);
}

extern "C" KIVO8_API uint32_t snmp_send(snmp_session *session, snmp_pdu *pdu) noexcept {
  if (session == nullptr) return 0;
  if (!_snmp_send(session, pdu)) return 0;
  return pdu->reqid;
}

extern "C" KIVO8_API int32_t snmp_synch_callback(udp_session *, uint8_t *data, int32_t length,
                                                 void *session, void *pdu) noexcept {
  if (session == nullptr || pdu == nullptr) return -1;
  return parse_reply(static_cast<snmp_session *>(session), static_cast<snmp_pdu *>(pdu), data,
                     length);
}

namespace {

// A unicast reply answers the request whose id it carries, and no other.
bool answers(const uint8_t *data, int32_t length, void *reqid) noexcept {
  uint32_t id = 0;
  return data != nullptr && length >= 0 &&
         kivo8::snmp::peek_request_id(std::span(data, static_cast<std::size_t>(length)), &id) &&
         id == *static_cast<const uint32_t *>(reqid);
}

// Decodes one collected reply and keeps it in `list`. `tail` (may be null) caches the
// list's last node, so that a window of many thousand replies is not walked once per reply.
int32_t keep_reply(udp_session *udp, uint8_t *data, int32_t length, snmp_session *session,
                   snmp_pdu_list *list, snmp_pdu_list **tail) noexcept {
  if (udp == nullptr || session == nullptr || list == nullptr) return -1;
  snmp_pdu *pdu = _snmp_create_pdu(0);
  if (pdu == nullptr) return -1;
  int32_t result = parse_reply(session, pdu, data, length);
  if (result != 0) {
    snmp_free_pdu(pdu);
    return result;
  }
  // A reply decoded without bindings is still an answer from a device: keep it.
  snmp_pdu_list *node = list;
  if (list->pdu != nullptr) {
    node = snmp_create_pdu_list();
    if (node == nullptr) {
      snmp_free_pdu(pdu);
      return -1;
    }
    append_node(tail != nullptr && *tail != nullptr ? *tail : list, node);
  }
  node->pdu = pdu;
  node->address = udp->from_address;
  if (tail != nullptr) *tail = node;
  return 0;
}

struct Collection {
  snmp_session *session;
  snmp_pdu_list *list;
  snmp_pdu_list *tail;
};

int32_t collect_reply(udp_session *udp, uint8_t *data, int32_t length, void *collection_arg,
                      void *) noexcept {
  auto *c = static_cast<Collection *>(collection_arg);
  return keep_reply(udp, data, length, c->session, c->list, &c->tail);
}

}  // namespace

extern "C" KIVO8_API int32_t snmp_asynch_callback(udp_session *udp, uint8_t *data,
                                                  int32_t length, void *session_arg,
                                                  void *list_arg) noexcept {
  return keep_reply(udp, data, length, static_cast<snmp_session *>(session_arg),
                    static_cast<snmp_pdu_list *>(list_arg), nullptr);
}

extern "C" KIVO8_API int32_t snmp_synch_response(snmp_session *session, snmp_pdu *pdu,
                                                 snmp_pdu **response_ref) noexcept {
  if (session == nullptr || response_ref == nullptr || session->udp == nullptr)
    return SNMP_ERR_OTHER;
  udp_session *udp = session->udp;
  int32_t transmissions = udp->retries;
  prepare_read(udp);
  if (!_snmp_send(session, pdu)) return session->error;

  for (;;) {
    snmp_pdu *response = _snmp_create_pdu(0);
    *response_ref = response;
    if (response == nullptr) return SNMP_ERR_NOMEM;
    // Only the target may answer, only with the request's id; anything else is dropped
    // and the wait goes on. A broadcast request may be answered from any address.
    uint32_t reqid = pdu->reqid;
    const bool any_sender = (udp->flags & UDP_FLAG_BROADCAST) != 0;
    int32_t code = _udp_read_reply(udp, any_sender, answers, &reqid, snmp_synch_callback,
                                   session, response);
    int32_t result;
    if (code == UDP_OK) {
      if (session->error == SNMP_ERR_NONE) return SNMP_ERR_NONE;
      result = session->error;
    } else if (code == UDP_ERR_TIMEOUT && --transmissions > 0) {
      snmp_free_pdu(response);
      *response_ref = nullptr;
      if (!_snmp_send(session, pdu)) return session->error;
      continue;
    } else {
      result = code_of_read(code);
    }
    snmp_free_pdu(response);
    *response_ref = nullptr;
    return result;
  }
}

extern "C" KIVO8_API int32_t snmp_asynch_response(snmp_session *session, snmp_pdu *pdu,
                                                  snmp_pdu_list **list_ref) noexcept {
  if (session == nullptr || list_ref == nullptr || session->udp == nullptr)
    return SNMP_ERR_OTHER;
  udp_session *udp = session->udp;
  prepare_read(udp);
  if (!_snmp_send(session, pdu)) return session->error;

  snmp_pdu_list *list = snmp_create_pdu_list();
  *list_ref = list;
  if (list == nullptr) return SNMP_ERR_NOMEM;
  // The same work as snmp_asynch_callback, with the list's end kept at hand.
  Collection collection{session, list, nullptr};
  int32_t code = udp_asynch_read(udp, collect_reply, &collection, nullptr);
  // Each reply is judged on its own: one that could not be decoded was dropped by the
  // callback and must not cost the answers of every other device on the network.
  session->error = SNMP_ERR_NONE;
  if (code == UDP_OK) return SNMP_ERR_NONE;
  snmp_free_pdu_list(list);
  *list_ref = nullptr;
  return code == UDP_ERR_TIMEOUT ? SNMP_ERR_OTHER : code_of_read(code);
}
