#pragma once

namespace platform::extension {

// The root class of the runtime's objects. Items handed to an extension are NSObjects of some
// class; the extension finds out which with dynamic_cast, as it would test a class membership.
class NSObject {
  public:
    NSObject() = default;
    NSObject(const NSObject&) = default;
    NSObject(NSObject&&) = default;
    NSObject& operator=(const NSObject&) = default;
    NSObject& operator=(NSObject&&) = default;
    virtual ~NSObject() = default;
};

}  // namespace platform::extension
