/* Device groups: named groups of the front end's devices, with a selection, kept in one
 * process-wide ordered list (the root list).
 *
 * A group points at device_records but never owns or frees them; a device that the front
 * end frees must first be removed from every group. A group linked into the root list
 * (device_groups_add) belongs to the list until device_groups_remove or
 * device_groups_free; an unlinked group belongs to its creator (device_group_free).
 * Devices and groups are recognised by address; names compare byte for byte.
 *
 * Results: 1 done, 0 nothing to do (already there / not there), -1 failure (no memory, a
 * taken or over-long name, a null argument); counts as int32_t; null for "none". Nothing
 * here takes a lock: callers serialise their use of groups themselves. Ids start at
 * last id 1, so the first device_group_new gives 2. */
#ifndef KIVO8_DEV_GROUP_H
#define KIVO8_DEV_GROUP_H

#include <stdint.h>

#include "device.h"
#include "kivo8_export.h"

#define DEVICE_GROUP_ALL 0
#define DEVICE_GROUP_UNUSED 1
#define DEVICE_GROUP_USER 3

#define DEVICE_GROUP_NAME_SIZE 256

KIVO8_BEGIN_DECLS

typedef struct device_group_member {
  struct device_group_member *next;
  device_record *device; /* not owned */
  uint32_t selected;
} device_group_member;

typedef struct device_group {
  int32_t kind;                        /* DEVICE_GROUP_ALL, _UNUSED or _USER */
  char name[DEVICE_GROUP_NAME_SIZE];   /* terminated, at most 255 bytes */
  uint32_t id;
  int32_t member_count;
  device_group_member *members;        /* owned; null when empty */
} device_group;

typedef struct device_groups_node {
  struct device_groups_node *next;
  device_group *group; /* owned by the root list */
} device_groups_node;

KIVO8_API uint32_t device_group_lastid(void) KIVO8_NOEXCEPT;
KIVO8_API void device_group_set_lastid(uint32_t id) KIVO8_NOEXCEPT;

KIVO8_API device_group *device_group_new(const char *name) KIVO8_NOEXCEPT;
KIVO8_API device_group *device_group_new_with_id(const char *name, uint32_t id) KIVO8_NOEXCEPT;
KIVO8_API void device_group_free(device_group *group) KIVO8_NOEXCEPT;
KIVO8_API int32_t device_group_rename(device_group *group, const char *name) KIVO8_NOEXCEPT;

KIVO8_API int32_t device_group_add(device_group *group, device_record *device) KIVO8_NOEXCEPT;
KIVO8_API int32_t device_group_remove(device_group *group,
                                      const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API int32_t device_group_include_dev(const device_group *group,
                                           const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API int32_t device_group_count(const device_group *group) KIVO8_NOEXCEPT;
KIVO8_API device_record *device_group_getat(const device_group *group,
                                            uint32_t index) KIVO8_NOEXCEPT;
KIVO8_API device_group_member *device_group_slist_getat(const device_group *group,
                                                        uint32_t index) KIVO8_NOEXCEPT;

KIVO8_API int32_t device_group_get_num_selected(const device_group *group) KIVO8_NOEXCEPT;
KIVO8_API int32_t device_group_select_all(device_group *group) KIVO8_NOEXCEPT;
KIVO8_API void device_group_unselect_all(device_group *group) KIVO8_NOEXCEPT;
KIVO8_API int32_t device_group_select_dev(device_group *group,
                                          const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API int32_t device_group_unselect_dev(device_group *group,
                                            const device_record *device) KIVO8_NOEXCEPT;

KIVO8_API int32_t device_groups_init(const char *all_name, const char *unused_name) KIVO8_NOEXCEPT;
KIVO8_API device_groups_node *device_groups_getroot(void) KIVO8_NOEXCEPT;
KIVO8_API void device_groups_free(void) KIVO8_NOEXCEPT;
KIVO8_API int32_t device_groups_add(device_group *group) KIVO8_NOEXCEPT;
KIVO8_API int32_t device_groups_remove(device_group *group) KIVO8_NOEXCEPT;
KIVO8_API int32_t device_groups_move(const device_group *group, int32_t position) KIVO8_NOEXCEPT;
KIVO8_API int32_t device_groups_count(void) KIVO8_NOEXCEPT;
KIVO8_API device_group *device_groups_search_name(const char *name) KIVO8_NOEXCEPT;
KIVO8_API device_group *device_groups_search_id(uint32_t id) KIVO8_NOEXCEPT;
KIVO8_API device_group *device_groups_getat(uint32_t index) KIVO8_NOEXCEPT;
KIVO8_API device_group *device_groups_all_devices(void) KIVO8_NOEXCEPT;
KIVO8_API device_group *device_groups_unused_devices(void) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
