#pragma once

// Every key of the shared suite. Each has one writer; the host application reads them.
namespace common::keys {

inline constexpr char contentFilterPolicyBlob[] = "contentFilterPolicyBlob";
inline constexpr char contentFilterProviderStartCount[] = "contentFilterProviderStartCount";
inline constexpr char contentFilterExtensionState[] = "contentFilterExtensionState";
inline constexpr char contentFilterExtensionError[] = "contentFilterExtensionError";
inline constexpr char contentFilterLastPolicySummary[] = "contentFilterLastPolicySummary";
inline constexpr char contentFilterObservedFlowCount[] = "contentFilterObservedFlowCount";
inline constexpr char contentFilterLastObservedHost[] = "contentFilterLastObservedHost";
inline constexpr char contentFilterLastObservedURL[] = "contentFilterLastObservedURL";
inline constexpr char contentFilterLastObservedEndpoint[] = "contentFilterLastObservedEndpoint";
inline constexpr char contentFilterLastBlockedHost[] = "contentFilterLastBlockedHost";
inline constexpr char contentFilterLastMatchedDomain[] = "contentFilterLastMatchedDomain";
inline constexpr char contentFilterLastBlockedAt[] = "contentFilterLastBlockedAt";
inline constexpr char websiteTrackingLatestBrowserEvent[] = "websiteTrackingLatestBrowserEvent";

}  // namespace common::keys
