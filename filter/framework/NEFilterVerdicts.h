#pragma once

#include <cstddef>

namespace filter {

// What happens to a new flow.
struct NEFilterNewFlowVerdict {
    enum class Kind { allow, drop, filterData };
    Kind kind = Kind::allow;
    bool filterInbound = false;
    std::size_t peekInboundBytes = 0;
    bool filterOutbound = false;
    std::size_t peekOutboundBytes = 0;

    static NEFilterNewFlowVerdict allowVerdict() { return {Kind::allow}; }
    static NEFilterNewFlowVerdict dropVerdict() { return {Kind::drop}; }
    // The flow's first bytes, at most the peek sizes, reach the provider's data callbacks.
    static NEFilterNewFlowVerdict filterDataVerdict(bool filterInbound,
                                                    std::size_t peekInboundBytes,
                                                    bool filterOutbound,
                                                    std::size_t peekOutboundBytes) {
        return {Kind::filterData, filterInbound, peekInboundBytes, filterOutbound,
                peekOutboundBytes};
    }
    bool operator==(const NEFilterNewFlowVerdict&) const = default;
};

// What happens to a flow under inspection: allow and drop are final; pass lets `passBytes`
// through and delivers up to `peekBytes` more.
struct NEFilterDataVerdict {
    enum class Kind { allow, drop, pass };
    Kind kind = Kind::allow;
    std::size_t passBytes = 0;
    std::size_t peekBytes = 0;

    static NEFilterDataVerdict allow() { return {Kind::allow}; }
    static NEFilterDataVerdict drop() { return {Kind::drop}; }
    static NEFilterDataVerdict pass(std::size_t passBytes, std::size_t peekBytes) {
        return {Kind::pass, passBytes, peekBytes};
    }
    bool operator==(const NEFilterDataVerdict&) const = default;
};

}  // namespace filter
