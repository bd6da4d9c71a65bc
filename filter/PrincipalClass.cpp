#include "filter/FilterDataProvider.h"
#include "filter/framework/NEProvider.h"

namespace filter {

std::shared_ptr<NEFilterDataProvider> makePrincipalFilterDataProvider() {
    return std::make_shared<FilterDataProvider>();
}

}  // namespace filter
