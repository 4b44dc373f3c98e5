// Building search-target entries for the persistence tests, and describing them as text
// so that whole lists compare in one expectation.
#pragma once

#include <arpa/inet.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "kivo8/ifinfo.h"
#include "kivo8/snmp_comm.h"

namespace persist_test {

inline struct in_addr ip(const char *text) {
  struct in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a;
}

// Names are added in the order given, so the list holds them last-given first.
inline ifinfo *entry(int32_t id, const char *a1, const char *a2, const char *a3, int32_t count,
                     int32_t flag, std::initializer_list<const char *> names) {
  ifinfo *e = ifinfo_new();
  e->id = id;
  e->addr1 = ip(a1);
  e->addr2 = ip(a2);
  e->addr3 = ip(a3);
  e->count = count;
  e->flag = flag;
  for (const char *n : names) snmp_comm_add(&e->comms, n);
  return e;
}

inline ifinfo *slp_entry(int32_t id, const char *scopes, int32_t count, int32_t flag,
                         std::initializer_list<const char *> names) {
  ifinfo *e = entry(id, "0.0.0.0", "0.0.0.0", "0.0.0.0", count, flag, names);
  e->scopes = scopes != nullptr ? strdup(scopes) : nullptr;
  return e;
}

inline std::string describe(const ifinfo *e) {
  if (e == nullptr) return "null";
  char a[4][INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &e->addr, a[0], sizeof a[0]);
  inet_ntop(AF_INET, &e->addr1, a[1], sizeof a[1]);
  inet_ntop(AF_INET, &e->addr2, a[2], sizeof a[2]);
  inet_ntop(AF_INET, &e->addr3, a[3], sizeof a[3]);
  std::string s = "id=" + std::to_string(e->id) + " kind=" + std::to_string(ifinfo_get_type(e)) +
                  " name=" + e->name + " addr=" + a[0] + " " + a[1] + " " + a[2] + " " + a[3] +
                  " count=" + std::to_string(e->count) + " flag=" + std::to_string(e->flag);
  if (e->scopes != nullptr) s += std::string(" scopes=[") + e->scopes + "]";
  s += " comms=";
  for (const snmp_comm *c = e->comms; c != nullptr; c = c->next) s += std::string("[") + c->name + "]";
  return s;
}

inline std::vector<std::string> describe_list(const ifinfo *first) {
  std::vector<std::string> out;
  for (const ifinfo *e = first; e != nullptr; e = e->next) out.push_back(describe(e));
  return out;
}

// A private list built from the entries, first given first.
inline ifinfo *list_of(std::initializer_list<ifinfo *> entries) {
  ifinfo *head = nullptr;
  ifinfo **tail = &head;
  for (ifinfo *e : entries) {
    *tail = e;
    tail = &e->next;
  }
  return head;
}

}  // namespace persist_test
