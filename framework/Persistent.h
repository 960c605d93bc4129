#pragma once
// The persistent-object base: objects that copy their values with Assign. A class
// copies itself into objects it knows by overriding AssignTo; a destination it does
// not know ends in the framework's assignment error.

#include <string>
#include <typeinfo>

#include "framework/BoundEvent.h"
#include "framework/Exceptions.h"

namespace portvale {

// "Cannot assign a %s to a %s"
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

class TPersistent : public TObject {
public:
    // Copies source's values into this object: the source decides what it can copy.
    virtual void Assign(const TPersistent& source) { source.AssignTo(*this); }

protected:
    virtual void AssignTo(TPersistent& dest) const {
        throw EConvertError("Cannot assign a " + std::string(typeid(*this).name()) + " to a " +
                            std::string(typeid(dest).name()));
    }
};

}  // namespace portvale
