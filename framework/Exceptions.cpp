#include "framework/Exceptions.h"

#include "framework/SysUtils.h"

namespace portvale {

EListError::EListError(int index) : Exception(Format("List index out of bounds (%d)", index)) {}

EFOpenError::EFOpenError(const std::string& fileName)
    : EStreamError(Format("Cannot open file %s", fileName.c_str())) {}

EFCreateError::EFCreateError(const std::string& fileName)
    : EStreamError(Format("Cannot create file %s", fileName.c_str())) {}

}  // namespace portvale
