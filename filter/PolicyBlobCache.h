#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "base/value/Value.h"
#include "common/ContentFilterPolicy.h"
#include "common/UserDefaults.h"

namespace filter {

// Reads the policy blob from one handle on the shared suite, decoding it only when it changed.
// A read asks the suite first whether another handle wrote since the last read; when none did,
// the last answer stands without any read of the blob. Otherwise the blob is read and compared
// with the bytes decoded last, and decoded only when they differ. Every answer is the one that
// reading and decoding afresh would give, as long as the blob is never written through the handle
// this reads (the filter never writes it).
//
// Not safe for concurrent use; its owner serialises the reads.
class PolicyBlobCache {
  public:
    explicit PolicyBlobCache(std::shared_ptr<common::UserDefaults> defaults);

    // The policy that the data value under contentFilterPolicyBlob decodes to; nothing when the
    // key holds no data value or the blob does not decode.
    std::optional<common::ContentFilterPolicy> policy();

  private:
    struct Reading {
        // The suite's answer before the blob was read; nothing when it could not tell.
        std::optional<std::int64_t> externalChangeCounter;
        std::optional<base::Data> blob;
        std::optional<common::ContentFilterPolicy> policy;
    };

    const std::shared_ptr<common::UserDefaults> defaults;
    std::optional<Reading> lastReading;
};

}  // namespace filter
