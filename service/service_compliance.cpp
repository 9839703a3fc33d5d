// The compliance module's set-up step; the compliance wiring fills it in.
#include "service/service.h"

namespace zelko::plenar::agent {

void Service::InitAcmModule() {}

}  // namespace zelko::plenar::agent
