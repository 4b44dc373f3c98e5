// SLP sessions: Service Requests sent to a unicast, broadcast or multicast address, and the replies collected.
#include <netinet/in.h>

#include <cstring>
#include <memory>

#include "core/alloc.h"
#include "kivo8/mt_support.h"
#include "kivo8/slp_sess.h"
#include "kivo8/udp_sess.h"
#include "mt/mt_internal.h"
#include "slp/slp_internal.h"

namespace {

// The process-wide transaction-id counter; only ever touched under (MT_RES_SLP, 1).
uint32_t s_xid = 0;

// The transport keeps this in its flags; its broadcast bit (bit 0) stays clear, since the
// request goes to a multicast group through udp_sendm, which does not consult the flags.
constexpr uint32_t kSlpTransportFlags = 2;

struct RequestBuffer {
  void operator()(uint8_t *p) const noexcept { kivo8::mem_free(p); }
};

}  // namespace

extern "C" {

uint32_t slp_get_next_xid(void) noexcept {
  kivo8::SlotLock lock(MT_RES_SLP, 1);
  uint32_t next = s_xid + 1;
  // Id 0 stays unused after the counter wraps.
  if (next == 0) next = 2;
  s_xid = next;
  return next;
}

void _slp_set_xid(uint32_t value) noexcept {
  kivo8::SlotLock lock(MT_RES_SLP, 1);
  s_xid = value;
}

int32_t slp_srvreply_asynch_callback(udp_session *udp, uint8_t *data, int32_t length,
                                     void * /*session*/, void *head) noexcept {
  auto *first = static_cast<slp_srvreplies *>(head);
  if (udp == nullptr || first == nullptr) return 0;
  // Anything of 18 bytes or more is taken as a reply: the id, function and version of
  // what comes back are not compared with the request.
  slp_srvreply *reply = slp_decode_srvreply(data, length);
  if (reply == nullptr) return 0;
  if (first->reply == nullptr) {
    first->reply = reply;
    first->address = udp->from_address;
    return 0;
  }
  slp_srvreplies *node = slp_create_srvreplies();
  if (node == nullptr) {
    slp_free_srvreply(reply);
    return -1;
  }
  node->reply = reply;
  node->address = udp->from_address;
  slp_srvreplies *last = first;
  while (last->next != nullptr) last = last->next;
  last->next = node;
  return 0;
}

KIVO8_API slp_session *slp_create_session(int32_t family, const struct in_addr *address_ptr,
                                          const ifinfo *target) noexcept {
  auto *session = kivo8::mem_new<slp_session>();
  if (session == nullptr) return nullptr;
  session->version = SLP_VERSION;
  session->hops = target != nullptr ? target->flag : 0;
  session->udp = udp_open(family, address_ptr, SLP_PORT, target);
  if (session->udp == nullptr) {
    kivo8::mem_free(session);
    return nullptr;
  }
  session->udp->retries = 1;
  if (target != nullptr) session->udp->timeout = target->count;
  session->status = 0;
  std::memcpy(session->lang, DEFAULT_LANG, sizeof DEFAULT_LANG);
  return session;
}

KIVO8_API void slp_free_session(slp_session *session) noexcept {
  if (session == nullptr) return;
  (void)udp_close(session->udp);
  kivo8::mem_free(session);
}

KIVO8_API int32_t slp_service_request(slp_session *session, const char *service_type,
                                      const char *scope_list, const ifinfo *target,
                                      slp_srvreplies **result_ref) noexcept {
  // Without these nothing can be sent; the result cell is left as it was.
  if (session == nullptr || session->udp == nullptr || target == nullptr || result_ref == nullptr)
    return -2;
  udp_session *udp = session->udp;
  {
    std::unique_ptr<uint8_t, RequestBuffer> request(
        build_srvrqst(session, service_type, scope_list));
    if (request == nullptr) return -1;
    udp->flags = kSlpTransportFlags;
    udp->recv_buffer_size = SLP_RECV_BUFSIZE;
    struct in_addr local = target->addr;
    const auto length = static_cast<int32_t>(get_packet_length(request.get()));
    if (udp_sendm(udp, request.get(), length, &local, session->hops) != UDP_OK) return -2;
  }

  slp_srvreplies *first = slp_create_srvreplies();
  *result_ref = first;
  if (first == nullptr) return -1;

  int32_t code;
  switch (udp_asynch_read(udp, slp_srvreply_asynch_callback, session, first)) {
    case UDP_OK:
      code = session->status;
      break;
    case UDP_ERR_SELECT:
    case UDP_ERR_RECV:
      code = -3;
      break;
    case UDP_ERR_NOMEM:
      code = -1;
      break;
    default:
      code = -99;
      break;
  }
  if (code == 0) return 0;
  slp_free_srvreplies(first);
  *result_ref = nullptr;
  return code;
}

}  // extern "C"
