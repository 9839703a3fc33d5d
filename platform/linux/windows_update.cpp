#include "platform/windows_update.h"

#include <fstream>
#include <sstream>
#include <string>

#include "platform/paths.h"

namespace zelko::platform {

// The emulated machine has no update agent: it reports the updates that the file
// "WindowsUpdate/pending" under the system root names ("<count>", or "fail <step> <code>" to
// make a step fail), and none when that file is absent.
UpdateSearchResult SearchPendingUpdates() {
    UpdateSearchResult result;
    std::ifstream in(SystemRoot() / "WindowsUpdate" / "pending");
    if (!in) return result;
    std::string line;
    std::getline(in, line);
    std::istringstream fields(line);
    std::string first;
    fields >> first;
    if (first == "fail") {
        int32_t step = 0;
        int32_t code = 0;
        fields >> step >> code;
        if (step < static_cast<int32_t>(UpdateSearchStep::kInitialize) ||
            step > static_cast<int32_t>(UpdateSearchStep::kGetCount)) {
            step = static_cast<int32_t>(UpdateSearchStep::kSearch);
        }
        result.failed_step = static_cast<UpdateSearchStep>(step);
        result.code = code;
        return result;
    }
    std::istringstream number(first);
    if (!(number >> result.count)) {
        // An unreadable simulation is a failed search (E_FAIL), not "no updates".
        result.failed_step = UpdateSearchStep::kSearch;
        result.code = static_cast<int32_t>(0x80004005u);
        result.count = 0;
    }
    return result;
}

}  // namespace zelko::platform
