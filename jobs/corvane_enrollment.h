#pragma once

namespace zelko::plenar::agent::corvane {

// The AI-experience enrollment module. Only what the service's IoT connection notices need is here
// so far.
class Enrollment {
  public:
    virtual ~Enrollment() = default;
    // The device has a feature "ss" or "te".
    virtual bool HasFeatureByte() = 0;
};

}  // namespace zelko::plenar::agent::corvane
