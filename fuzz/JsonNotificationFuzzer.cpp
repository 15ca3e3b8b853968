// The trace's "post NAME JSON": any text through the JSON mapping to the user-info tree, then the intake's
// acceptance rules. Nesting deeper than the mapping keeps becomes a value no rule accepts.
#include "FuzzInput.h"
#include "JsonUserInfo.h"
#include "PayloadRules.h"

using namespace vantorix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    std::optional<PropertyValue> userInfo = session::userInfoFromJson(std::string(reinterpret_cast<const char*>(data), size), error);
    FUZZ_REQUIRE(userInfo.has_value() == error.empty());
    fuzz::checkAcceptance({kStatusChangedNotification, "fuzz", userInfo});
    return 0;
}
