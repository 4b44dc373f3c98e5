// Device groups and the process-wide ordered list of groups.
//
// Members and groups live in singly linked lists, searched by address. Both searches hand
// back the link that points at the node (or the empty link at the end), so adding,
// removing and moving are plain pointer splices with no special case for the head.
#include "kivo8/dev_group.h"

#include <cstring>

#include "core/alloc.h"

namespace {

device_groups_node *devgroups_root = nullptr;
// The highest id handed out so far; ids 0 and 1 are the two standing groups'.
uint32_t last_group_id = 1;

constexpr int32_t excluded_status_a = 6;
constexpr int32_t excluded_status_b = 31;

bool _name_fits(const char *name) noexcept {
  return ::strnlen(name, DEVICE_GROUP_NAME_SIZE) < DEVICE_GROUP_NAME_SIZE;
}

bool _counts_in_selection(const device_record *device) noexcept {
  return device->status != excluded_status_a && device->status != excluded_status_b;
}

device_group_member **device_group_search_device(device_group *group,
                                                 const device_record *device) noexcept {
  device_group_member **link = &group->members;
  while (*link != nullptr && (*link)->device != device) link = &(*link)->next;
  return link;
}

device_groups_node **device_groups_search_group(const device_group *group) noexcept {
  device_groups_node **link = &devgroups_root;
  while (*link != nullptr && (*link)->group != group) link = &(*link)->next;
  return link;
}

device_group *_make_group(const char *name, uint32_t id) noexcept {
  auto *group = kivo8::mem_new<device_group>();
  if (group == nullptr) return nullptr;
  std::strcpy(group->name, name);  // the caller has checked that it fits
  group->kind = DEVICE_GROUP_USER;
  group->id = id;
  group->member_count = 0;
  group->members = nullptr;
  return group;
}

// Counts the countable selected members; when `device` is given, its flag is first set
// to `select` during the same walk.
int32_t _walk_selection(device_group *group, const device_record *device, bool select) noexcept {
  int32_t count = 0;
  for (device_group_member *m = group->members; m != nullptr; m = m->next) {
    if (device != nullptr && m->device == device) m->selected = select ? 1 : 0;
    if (m->selected && _counts_in_selection(m->device)) ++count;
  }
  return count;
}

}  // namespace

extern "C" KIVO8_API uint32_t device_group_lastid(void) noexcept { return last_group_id; }

extern "C" KIVO8_API void device_group_set_lastid(uint32_t id) noexcept {
  if (id > last_group_id) last_group_id = id;
}

extern "C" KIVO8_API device_group *device_group_new(const char *name) noexcept {
  if (name == nullptr || !_name_fits(name)) return nullptr;
  if (device_group *existing = device_groups_search_name(name)) return existing;
  device_group *group = _make_group(name, 0);
  if (group == nullptr) return nullptr;
  // The id is used up only once the group exists.
  group->id = ++last_group_id;
  return group;
}

extern "C" KIVO8_API device_group *device_group_new_with_id(const char *name,
                                                            uint32_t id) noexcept {
  if (device_group *existing = device_groups_search_id(id)) return existing;
  if (name == nullptr || !_name_fits(name)) return nullptr;
  if (device_group *existing = device_groups_search_name(name)) return existing;
  device_group *group = _make_group(name, id);
  if (group == nullptr) return nullptr;
  if (id > last_group_id) last_group_id = id;
  return group;
}

extern "C" KIVO8_API void device_group_free(device_group *group) noexcept {
  if (group == nullptr) return;
  device_group_member *m = group->members;
  while (m != nullptr) {
    device_group_member *next = m->next;
    kivo8::mem_free(m);
    m = next;
  }
  kivo8::mem_free(group);
}

extern "C" KIVO8_API int32_t device_group_rename(device_group *group, const char *name) noexcept {
  if (group == nullptr || name == nullptr) return -1;
  // A name that does not fit the field is refused whole rather than cut short.
  if (!_name_fits(name)) return -1;
  if (device_groups_search_name(name) != nullptr) return -1;
  std::strcpy(group->name, name);
  return 1;
}

extern "C" KIVO8_API int32_t device_group_add(device_group *group,
                                              device_record *device) noexcept {
  if (group == nullptr || device == nullptr) return -1;
  device_group_member **link = device_group_search_device(group, device);
  if (*link != nullptr) return 0;
  auto *member = kivo8::mem_new<device_group_member>();
  if (member == nullptr) return -1;
  member->next = nullptr;
  member->device = device;
  member->selected = 0;
  *link = member;
  ++group->member_count;
  return 1;
}

extern "C" KIVO8_API int32_t device_group_remove(device_group *group,
                                                 const device_record *device) noexcept {
  if (group == nullptr || device == nullptr) return 0;
  device_group_member **link = device_group_search_device(group, device);
  device_group_member *member = *link;
  if (member == nullptr) return 0;
  *link = member->next;
  kivo8::mem_free(member);
  --group->member_count;
  return 1;
}

extern "C" KIVO8_API int32_t device_group_include_dev(const device_group *group,
                                                      const device_record *device) noexcept {
  if (group == nullptr || device == nullptr) return 0;
  for (const device_group_member *m = group->members; m != nullptr; m = m->next)
    if (m->device == device) return 1;
  return 0;
}

extern "C" KIVO8_API int32_t device_group_count(const device_group *group) noexcept {
  if (group == nullptr) return 0;
  int32_t n = 0;
  for (const device_group_member *m = group->members; m != nullptr; m = m->next) ++n;
  return n;
}

extern "C" KIVO8_API device_group_member *device_group_slist_getat(const device_group *group,
                                                                   uint32_t index) noexcept {
  if (group == nullptr) return nullptr;
  device_group_member *m = group->members;
  for (; m != nullptr && index > 0; --index) m = m->next;
  return m;
}

extern "C" KIVO8_API device_record *device_group_getat(const device_group *group,
                                                       uint32_t index) noexcept {
  device_group_member *m = device_group_slist_getat(group, index);
  return m == nullptr ? nullptr : m->device;
}

extern "C" KIVO8_API int32_t device_group_get_num_selected(const device_group *group) noexcept {
  if (group == nullptr) return 0;
  return _walk_selection(const_cast<device_group *>(group), nullptr, false);
}

extern "C" KIVO8_API int32_t device_group_select_all(device_group *group) noexcept {
  if (group == nullptr) return 0;
  int32_t count = 0;
  for (device_group_member *m = group->members; m != nullptr; m = m->next) {
    m->selected = 1;
    if (_counts_in_selection(m->device)) ++count;
  }
  return count;
}

extern "C" KIVO8_API void device_group_unselect_all(device_group *group) noexcept {
  if (group == nullptr) return;
  for (device_group_member *m = group->members; m != nullptr; m = m->next) m->selected = 0;
}

extern "C" KIVO8_API int32_t device_group_select_dev(device_group *group,
                                                     const device_record *device) noexcept {
  if (group == nullptr) return 0;
  return _walk_selection(group, device, true);
}

extern "C" KIVO8_API int32_t device_group_unselect_dev(device_group *group,
                                                       const device_record *device) noexcept {
  if (group == nullptr) return 0;
  return _walk_selection(group, device, false);
}

extern "C" KIVO8_API int32_t device_groups_init(const char *all_name,
                                                const char *unused_name) noexcept {
  // The old list is not freed here: the caller frees it first when it has one.
  devgroups_root = nullptr;

  device_group *all = device_group_new_with_id(all_name, 0);
  if (all == nullptr) return -1;
  all->kind = DEVICE_GROUP_ALL;
  if (device_groups_add(all) < 0) {
    device_group_free(all);
    return -1;
  }

  // With both names equal this finds the first group, which then becomes the unused-devices
  // group, and adding it again gives 0: a single group remains.
  device_group *unused = device_group_new_with_id(unused_name, 1);
  if (unused == nullptr) return -1;
  unused->kind = DEVICE_GROUP_UNUSED;
  int32_t rc = device_groups_add(unused);
  if (rc < 0) device_group_free(unused);
  return rc;
}

extern "C" KIVO8_API device_groups_node *device_groups_getroot(void) noexcept {
  return devgroups_root;
}

extern "C" KIVO8_API void device_groups_free(void) noexcept {
  device_groups_node *node = devgroups_root;
  devgroups_root = nullptr;
  while (node != nullptr) {
    device_groups_node *next = node->next;
    device_group_free(node->group);
    kivo8::mem_free(node);
    node = next;
  }
}

extern "C" KIVO8_API int32_t device_groups_add(device_group *group) noexcept {
  if (group == nullptr) return -1;
  device_groups_node **link = device_groups_search_group(group);
  if (*link != nullptr) return 0;
  auto *node = kivo8::mem_new<device_groups_node>();
  if (node == nullptr) return -1;
  node->next = nullptr;
  node->group = group;
  *link = node;
  return 1;
}

extern "C" KIVO8_API int32_t device_groups_remove(device_group *group) noexcept {
  if (group == nullptr) return 0;
  device_groups_node **link = device_groups_search_group(group);
  device_groups_node *node = *link;
  if (node == nullptr) return 0;
  *link = node->next;
  device_group_free(node->group);
  kivo8::mem_free(node);
  return 1;
}

extern "C" KIVO8_API int32_t device_groups_move(const device_group *group,
                                                int32_t position) noexcept {
  if (group == nullptr) return 0;
  device_groups_node **from = device_groups_search_group(group);
  device_groups_node *node = *from;
  if (node == nullptr) return 0;

  // The insertion point is found with the group still in the list: before the node now at
  // index `position`, or at the end.
  device_groups_node **to = &devgroups_root;
  for (int32_t passed = 0; passed < position && *to != nullptr; ++passed) to = &(*to)->next;

  // Already there: the group stands at the insertion point or just before it.
  if (to == from || to == &node->next) return 1;

  *from = node->next;
  node->next = *to;
  *to = node;
  return 1;
}

extern "C" KIVO8_API int32_t device_groups_count(void) noexcept {
  int32_t n = 0;
  for (const device_groups_node *node = devgroups_root; node != nullptr; node = node->next) ++n;
  return n;
}

extern "C" KIVO8_API device_group *device_groups_search_name(const char *name) noexcept {
  if (name == nullptr) return nullptr;
  for (const device_groups_node *node = devgroups_root; node != nullptr; node = node->next)
    if (std::strcmp(node->group->name, name) == 0) return node->group;
  return nullptr;
}

extern "C" KIVO8_API device_group *device_groups_search_id(uint32_t id) noexcept {
  for (const device_groups_node *node = devgroups_root; node != nullptr; node = node->next)
    if (node->group->id == id) return node->group;
  return nullptr;
}

extern "C" KIVO8_API device_group *device_groups_getat(uint32_t index) noexcept {
  const device_groups_node *node = devgroups_root;
  for (; node != nullptr && index > 0; --index) node = node->next;
  return node == nullptr ? nullptr : node->group;
}

extern "C" KIVO8_API device_group *device_groups_all_devices(void) noexcept {
  return device_groups_getat(0);
}

extern "C" KIVO8_API device_group *device_groups_unused_devices(void) noexcept {
  for (const device_groups_node *node = devgroups_root; node != nullptr; node = node->next)
    if (node->group->kind == DEVICE_GROUP_UNUSED) return node->group;
  return nullptr;
}
