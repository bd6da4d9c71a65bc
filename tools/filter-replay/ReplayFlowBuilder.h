#pragma once

#include <map>
#include <memory>
#include <string>

#include "base/uuid/UUID.h"
#include "base/value/Expected.h"
#include "base/value/Value.h"
#include "filter/framework/NEFilterFlow.h"

namespace tools {

// A flow of a replay script with the label the script gave it.
struct ReplayFlow {
    std::string label;
    std::shared_ptr<const filter::NEFilterFlow> flow;
};

// Builds flows from their descriptions in a script:
//   {"id":"label","url":"https://...","socket":true,"remoteHostname":"...",
//    "remoteEndpoint":{"hostname":"192.0.2.10","port":"443"},"socketType":1}
// Only "id" is required. With "socket" true the flow is a socket flow; its "socketType" is a
// stream socket unless given. A "url" that does not parse gives a flow without URL. An endpoint
// given as {"description":"..."} is not a host endpoint. The same label always gives the same
// flow identifier.
class ReplayFlowBuilder {
  public:
    base::Expected<ReplayFlow> flow(const base::Value& description);

  private:
    std::map<std::string, base::UUID> identifiers;
};

}  // namespace tools
