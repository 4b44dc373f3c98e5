// The exported discovery interface: options checked and copied, results as codes.
#include "kivo8/discover.h"

#include <cstddef>
#include <cstring>
#include <memory>

#include "core/guard.h"
#include "discover/engine.h"

namespace {

using kivo::discover::Engine;
using kivo::discover::Options;

// The caller's options as far as its `size` reaches; fields past it keep their zeros.
bool read_options(const kivo_discover_options *given, Options &out) {
  kivo_discover_options o{};
  if (given != nullptr) {
    if (given->size < offsetof(kivo_discover_options, searches)) return false;
    std::memcpy(&o, given, std::min<std::size_t>(given->size, sizeof o));
  }
  if (o.searches != 0) out.searches = o.searches;
  if (o.versions != 0) out.versions = o.versions & (KIVO_DISCOVER_V1 | KIVO_DISCOVER_V2C);
  if (out.versions == 0) return false;
  if (o.community_count > 0 && o.communities == nullptr) return false;
  for (std::uint32_t i = 0; i < o.community_count; ++i) {
    if (o.communities[i] == nullptr || o.communities[i][0] == '\0') return false;
    out.communities.emplace_back(o.communities[i]);
  }
  if (o.timeout_ms < 0 || o.deadline_ms < 0 || o.describe_timeout_ms < 0 || o.web_timeout_ms < 0 ||
      o.endpoint_timeout_ms < 0)
    return false;
  if (o.endpoint_timeout_ms != 0) out.endpoint_timeout_ms = o.endpoint_timeout_ms;
  if (o.endpoint_in_flight != 0) out.endpoint_in_flight = o.endpoint_in_flight;
  out.timeout_ms = o.timeout_ms;
  out.retries = o.retries < 0 ? 0 : o.retries;
  if (out.retries > 20) return false;
  if (o.rate != 0) {
    out.rate = o.rate;
    out.rate_given = true;
  }
  if (o.max_devices != 0) out.max_devices = o.max_devices;
  out.deadline_ms = o.deadline_ms;
  out.describe_timeout_ms = o.describe_timeout_ms;
  if (o.web_timeout_ms != 0) out.web_timeout_ms = o.web_timeout_ms;
  if (o.web_in_flight != 0) out.web_in_flight = o.web_in_flight;
  if (o.slp_service_type != nullptr) out.slp_service_type = o.slp_service_type;
  if (o.slp_scopes != nullptr) {
    out.slp_scopes = o.slp_scopes;
    out.slp_scopes_given = true;
  }
  out.progress = o.progress;
  out.on_device = o.on_device;
  out.user = o.user;
  if (o.snmpv3 != nullptr) {
    // The keys are derived here, once: bad credentials fail kivo_discover_new rather
    // than a search that would then describe nothing.
    auto user = std::make_shared<kivo8::v3::User>();
    if (user->set(*o.snmpv3) != 0) return false;
    out.snmpv3_user = std::move(user);
  }
  return true;
}

}  // namespace

extern "C" KIVO8_API void kivo_discover_options_init(kivo_discover_options *options) noexcept {
  if (options == nullptr) return;
  *options = kivo_discover_options{};
  options->size = sizeof *options;
  options->retries = -1;
}

extern "C" KIVO8_API kivo_discover *kivo_discover_new(ifinfo *targets,
                                                      const kivo_discover_options *options) noexcept {
  return kivo8::guarded<kivo_discover *>(nullptr, [&]() -> kivo_discover * {
    Options o;
    if (!read_options(options, o)) return nullptr;
    ifinfo *list = targets != nullptr ? targets : ifinfo_getat(nullptr, 0);
    auto engine = std::make_unique<Engine>(list, std::move(o));
    if (!engine->ok()) return nullptr;
    auto handle = std::make_unique<kivo_discover>();
    handle->engine = std::move(engine);
    return handle.release();
  });
}

extern "C" KIVO8_API int32_t kivo_discover_run(kivo_discover *handle) noexcept {
  if (handle == nullptr) return KIVO_DISCOVER_EINVAL;
  return kivo8::guarded<std::int32_t>(KIVO_DISCOVER_ENOMEM, [&] { return handle->engine->run(); });
}

extern "C" KIVO8_API void kivo_discover_cancel(kivo_discover *handle) noexcept {
  if (handle != nullptr) handle->engine->cancel();
}

extern "C" KIVO8_API uint32_t kivo_discover_count(const kivo_discover *handle) noexcept {
  return handle != nullptr ? handle->engine->count() : 0;
}

extern "C" KIVO8_API const kivo_discover_device *kivo_discover_get(const kivo_discover *handle,
                                                                    uint32_t index) noexcept {
  return handle != nullptr ? handle->engine->get(index) : nullptr;
}

extern "C" KIVO8_API int32_t kivo_discover_get_stats(const kivo_discover *handle,
                                                     kivo_discover_stats *stats) noexcept {
  if (handle == nullptr || stats == nullptr) return KIVO_DISCOVER_EINVAL;
  handle->engine->stats(*stats);
  return KIVO_DISCOVER_OK;
}

extern "C" KIVO8_API int32_t kivo_discover_fill_group(kivo_discover *handle) noexcept {
  if (handle == nullptr) return -1;
  return kivo8::guarded<std::int32_t>(-1, [&] { return handle->engine->fill_group(); });
}

extern "C" KIVO8_API void kivo_discover_free(kivo_discover *handle) noexcept {
  delete handle;
}
