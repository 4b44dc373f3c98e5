// Small helpers shared by the session tests: owners for what the library hands back,
// sessions aimed at a test peer, name lists, and reading values out of responses.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kivo8/mt_support.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/udp_sess.h"
#include "support/snmp_agents.h"

namespace kivo8::test {

struct PduFree {
  void operator()(snmp_pdu *p) const { snmp_free_pdu(p); }
};
struct ListFree {
  void operator()(snmp_pdu_list *p) const { snmp_free_pdu_list(p); }
};
struct SessionFree {
  void operator()(snmp_session *s) const { snmp_free_session(s); }
};
using PduPtr = std::unique_ptr<snmp_pdu, PduFree>;
using ListPtr = std::unique_ptr<snmp_pdu_list, ListFree>;
using SessionPtr = std::unique_ptr<snmp_session, SessionFree>;

// A community list owned by the test, as a search target's would be.
struct Communities {
  explicit Communities(const std::vector<std::string> &names = {"vellum"}) {
    for (const auto &n : names) snmp_comm_add(&head, n.c_str());
  }
  ~Communities() { snmp_comm_free(&head); }
  snmp_comm *find(const std::string &name) const { return snmp_comm_find(head, name.c_str()); }
  snmp_comm *head = nullptr;
};

// A session to `ip`:`port` (no search target), with the given version and community.
inline SessionPtr open_session(const std::string &ip, int port, int32_t version,
                               snmp_comm *community, int32_t timeout = 1, int32_t retries = 1) {
  in_addr a = ipv4(ip);
  SessionPtr s(snmp_create_session(2, &a, nullptr));
  if (!s) {
    ADD_FAILURE() << "snmp_create_session failed";
    return s;
  }
  s->udp->port = static_cast<uint16_t>(port);
  s->version = version;
  s->community = community;
  s->udp->timeout = timeout;
  s->udp->retries = retries;
  return s;
}

// A name list in the library's form, ending with the empty element.
class OidList {
 public:
  explicit OidList(const std::vector<std::string> &names) {
    for (const auto &n : names) storage_.push_back(craft::parse_oid(n));
    for (auto &s : storage_) list_.push_back({s.data(), static_cast<uint32_t>(s.size())});
    list_.push_back({nullptr, 0});
  }
  struct Raw {};
  OidList(Raw, const std::vector<craft::Oid> &names) : storage_(names) {
    for (auto &s : storage_) list_.push_back({s.data(), static_cast<uint32_t>(s.size())});
    list_.push_back({nullptr, 0});
  }
  const snmp_oid *get() const { return list_.data(); }

 private:
  std::vector<craft::Oid> storage_;
  std::vector<snmp_oid> list_;
};

inline std::vector<const snmp_var *> bindings(const snmp_pdu *pdu) {
  std::vector<const snmp_var *> out;
  for (const snmp_var *v = pdu != nullptr ? pdu->variables : nullptr; v != nullptr; v = v->next)
    out.push_back(v);
  return out;
}

inline std::vector<const snmp_pdu_list *> nodes(const snmp_pdu_list *list) {
  std::vector<const snmp_pdu_list *> out;
  for (; list != nullptr && list->pdu != nullptr; list = list->next) out.push_back(list);
  return out;
}

inline std::string name_of(const snmp_var *v) {
  return craft::oid_text(craft::Oid(v->name, v->name + v->name_length));
}

inline std::string string_of(const snmp_var *v) {
  if (v->value == nullptr) return "";
  return std::string(reinterpret_cast<const char *>(v->value), v->value_length);
}

inline int32_t int_of(const snmp_var *v) {
  int32_t x = 0;
  if (v->value != nullptr && v->value_length == 4) std::memcpy(&x, v->value, 4);
  return x;
}

inline uint32_t uint_of(const snmp_var *v) {
  uint32_t x = 0;
  if (v->value != nullptr && v->value_length == 4) std::memcpy(&x, v->value, 4);
  return x;
}

// Test base: the lock table for the request ids.
class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mt_res_init(), 0); }
  void TearDown() override { mt_res_free(); }
};

// A plain v1/v2c response to a request, echoing its request id.
inline craft::Bytes response_to(const craft::Bytes &request,
                                const std::vector<craft::Binding> &bindings,
                                int64_t errstat = 0, int64_t version = -1,
                                const std::string &community = "vellum") {
  craft::Request r = craft::decode_request(request);
  craft::Message m;
  m.version = version >= 0 ? version : (r.ok ? r.version : 0);
  m.community = community;
  m.reqid = r.reqid;
  m.errstat = errstat;
  m.errindex = errstat != 0 ? 1 : 0;
  m.bindings = bindings;
  return craft::encode(m);
}

}  // namespace kivo8::test
