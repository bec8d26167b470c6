#pragma once

#include "tallyquill/component.h"

#include <string>

namespace tallyquill::runtime {

// Objects and class factories alive, and LockServer locks held: the library
// may be unloaded only when both are zero.
void ObjectCreated();
void ObjectDestroyed();
void LockServer(bool lock);
bool CanUnload();

// UTF-16 BSTR <-> UTF-8. A null BSTR is the empty text; one holding a lone
// surrogate throws InvalidTextError (E_INVALIDARG to the host); a null answer
// from ToBstr means out of memory.
std::string FromBstr(BSTR text);
BSTR ToBstr(const std::string& text);

std::string GuidString(const GUID& guid);

// This thread's error object, which GetErrorInfo hands to a vtable caller:
// replaced by a failing member, cleared at the start of each call.
void SetThreadError(const GUID& iid, const std::string& source, const std::string& description);
void ClearThreadError();

} // namespace tallyquill::runtime
