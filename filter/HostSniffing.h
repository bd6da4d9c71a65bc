#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace filter {

// What the first outbound bytes of a hostless flow say about its host.
struct SniffedHost {
    enum class Kind {
        // A host was read; `host` holds it, normalised, possibly empty.
        host,
        // The bytes begin like a request that names its host but end before the host is known.
        needMoreData,
        // The bytes hold no usable host name, or are not a request this filter understands.
        noHostname,
    };

    static SniffedHost found(std::string host) { return {Kind::host, std::move(host)}; }
    static SniffedHost needMoreData() { return {Kind::needMoreData, std::nullopt}; }
    static SniffedHost noHostname() { return {Kind::noHostname, std::nullopt}; }

    bool operator==(const SniffedHost&) const = default;

    Kind kind;
    // Present exactly for `host`.
    std::optional<std::string> host;
};

// Both parsers read a flow's first outbound bytes, from offset 0, as buffered so far (at most a
// few kilobytes). They keep no state: each call parses the whole buffer again. They never throw
// and never read past the buffer's end. A host that is read is normalised with
// common::normalizedHostText; the caller decides what it means.

// Reads the Host header of a plain HTTP/1.x request.
// - The buffer must be valid UTF-8 and begin with "GET ", "POST ", "HEAD ", "PUT " or
//   "DELETE " (exact case); otherwise `noHostname`. One exception: a Host line that the end of
//   the buffer cuts inside a character is incomplete, as below, and waits.
// - Lines end only at CR LF; a bare LF is part of a line. The Host line is the first line that
//   begins with "host:" in any case, with no blank before the colon. Later lines are ignored.
// - The host is the rest of that line after the colon, possibly empty.
// - When the Host line is the last line of the buffer and no CR LF has ended it yet, its value
//   may still be cut off by the end of the bytes seen: the outcome is `needMoreData`. So it is
//   when the last, unended line could still grow into the Host line (it is a non-empty,
//   case-insensitive beginning of "host:", such as "Ho"). A Host line ended by CR LF is decided
//   at once.
// - With no Host line in the bytes seen, `noHostname`: a request is never waited for until its
//   Host line arrives.
SniffedHost parseHTTPHost(std::span<const std::uint8_t> bytes);

// Reads the server name of a TLS ClientHello that starts the buffer.
// - `needMoreData` while the bytes begin like a handshake record holding a ClientHello but do not
//   yet reach the end of the first record, or of the ClientHello's extensions block. Once the
//   extensions block is buffered, the outcome never changes as more bytes arrive.
// - `noHostname` for anything that is not a handshake record with a ClientHello, for a
//   malformed extensions block or server_name extension, and when no host_name entry holds
//   valid UTF-8.
// - Otherwise the first valid host_name entry of the first server_name extension decides;
//   entries of other name types and invalid UTF-8 are skipped. An empty name is a host too.
// Fields inside the ClientHello are checked against the buffer and against the extension and
// list lengths only; the record and handshake lengths do not bound them.
SniffedHost parseTLSClientHelloSNI(std::span<const std::uint8_t> bytes);

// The same reading of a bare ClientHello handshake message, without the record header (as QUIC
// carries it in CRYPTO frames): from the handshake type on, with the same outcomes. The 24-bit
// handshake length is not examined; the extensions block must lie within `bytes`.
SniffedHost parseClientHelloMessage(std::span<const std::uint8_t> bytes);

}  // namespace filter
